/* The export macros of the libraries. Everything is built with hidden visibility; only what
 * carries QZ_EXPORT, or is declared between QZ_API_BEGIN and QZ_API_END, is part of a library's
 * dynamic interface. libqzAV's version script still hides the second kind: only libqzvsa offers
 * the service-side API to the service programs. */
#ifndef QZAV_QZ_EXPORT_H
#define QZAV_QZ_EXPORT_H

#define QZ_EXPORT __attribute__((visibility("default")))

#define QZ_API_BEGIN _Pragma("GCC visibility push(default)")
#define QZ_API_END _Pragma("GCC visibility pop")

#endif
