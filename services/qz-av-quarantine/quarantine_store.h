// The quarantine directory: each quarantined object is stored as two files, "<stem>.bin" (the
// bytes as received) and "<stem>.json" (what the request said about it, with size and SHA-256),
// both written under temporary names, flushed, and renamed into place without ever replacing a
// file that exists; then the directory is flushed. The stem is unique in the directory.
#pragma once

#include <json-c/json.h>

#include <cstddef>
#include <string>

namespace qz::quarantine {

class QuarantineStore {
  public:
    // Opens (and creates, mode 0700, when missing) the directory. false with a reason when it
    // cannot be opened or written.
    bool open(const std::string& directory, std::string* error);
    ~QuarantineStore();

    // Stores the object and its metadata. request is the quarantine request document (its
    // members are copied into the metadata under "Request"). On success *stored_name is the
    // object's file name in the directory ("<stem>.bin"). false with the reason in *error; then
    // nothing of this call is left in the directory under a final name.
    bool store(json_object* request, const unsigned char* data, size_t length,
               std::string* stored_name, std::string* error) const;

    // The stem for an object: "<event id>-<object name>" with every character other than
    // letters, digits, '.', '-' and '_' replaced by '_', no leading '.', at most 150 characters.
    static std::string stem_for(const std::string& event_id, const std::string& object_name);

    const std::string& directory() const { return directory_; }

  private:
    std::string directory_;
    int dir_fd_ = -1;
};

}  // namespace qz::quarantine
