// Test fixtures: a fresh temporary directory removed at teardown, and a trace capture that points
// the trace log at a file inside one so a test can read what was traced.
#pragma once

#include <string>

namespace qztest {

// Creates a unique directory below $TMPDIR (or /tmp); removes it with everything in it when
// destroyed.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + name
    std::string file(const std::string& name) const;

private:
    std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);

// Sends the trace log to a file in its own temporary directory at the given level for the life
// of the object, then switches tracing off again.
class TraceCapture {
public:
    explicit TraceCapture(int level = 6);
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    const std::string& path() const { return path_; }
    std::string contents() const;
    bool contains(const std::string& text) const;
    // Forgets what was traced so far.
    void clear() const;

private:
    TempDir dir_;
    std::string path_;
};

}  // namespace qztest
