// Helpers of the pack and payload tests: an independent payload writer that can also write
// damaged payloads, scratch folders, running sfxpack, and capturing the launcher's error box and
// debug trace (both go to standard error on this platform).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Payload.h"

namespace packtest {

void PutUint(std::string* bytes, uint32_t value);
uint32_t GetUint(const std::string& bytes, size_t offset);

struct TestEntry {
    std::string name;
    std::string data;  // the bytes stored for the entry
    int64_t size = -1; // the Size field; -1: data.size()
};

// A payload laid out field by field, with every field open to damage.
struct TestPayload {
    std::string stub;
    std::string signature = "org.vantrel.kit.sfx";
    uint8_t version = 1;
    std::vector<TestEntry> entries;
    int64_t count = -1; // numberOfFiles; -1: entries.size()
    uint32_t flags = 0;
    int64_t executableId = -1, argsId = -1; // -1: N and N + 1
    std::vector<uint32_t> required;
    int64_t requiredCount = -1; // -1: required.size()
    std::string autorun, args;
    int64_t packageSize = -1; // -1: the real one
    uint32_t crc = 0;

    // The payload from the header to the end of the data (no stub, no footer).
    std::string Body() const;
    // Stub, body and footer.
    std::string Bytes() const;
};

// The standard CRC-32 of zlib, computed here independently of the pack tool.
uint32_t ReferenceCrc32(const std::string& bytes);

// A fresh folder below the temporary folder, removed with the object.
class Scratch {
  public:
    Scratch();
    ~Scratch();
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
// Names below folder, '/'-separated and sorted, folders with a trailing '/'.
std::vector<std::string> Tree(const std::string& folder);

struct ToolRun {
    int exitCode = -1;
    std::string out, err;
};
// Runs the sfxpack program built with these tests, in cwd when one is given.
ToolRun RunSfxpack(const std::vector<std::string>& args, const std::string& cwd = "");

// What the launcher showed while an operation ran: standard error (boxes as
// "Extracting error: <text>\n", then the trace in debug mode) and what the debug log file got.
struct Shown {
    std::string err;
    std::string log;
};

// Runs OpenPayload on path with debug mode on or off and captures what it showed.
bool OpenCaptured(const std::string& path, bool traceFooter, bool debug, OpenedPayload* opened,
                  Shown* shown);
// The box text as the POSIX error box prints it.
std::string Box(const std::string& text);

// Starts capturing standard error and the log file with debug mode as given; Stop returns both.
void StartCapture(bool debug);
Shown StopCapture();

// Releases what a successful OpenPayload allocated.
void Release(OpenedPayload* opened);

// The trace of a complete opening sequence, from the header check on.
extern const char* const kOpenTrace;

} // namespace packtest
