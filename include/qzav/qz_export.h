/* The one export macro of the libraries. Everything is built with hidden visibility; only what
 * carries QZ_EXPORT is part of a library's dynamic interface. */
#ifndef QZAV_QZ_EXPORT_H
#define QZAV_QZ_EXPORT_H

#define QZ_EXPORT __attribute__((visibility("default")))

#endif
