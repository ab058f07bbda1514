// Builds a payload list with eleven small files in a fresh temporary folder
// and runs the packing tool on it.
#pragma once
#include <stdint.h>
#include <string>
#include <vector>

struct PackRun {
    int exitCode;
    std::string output;  // stdout and stderr together
};

class PackFolder {
public:
    PackFolder();
    ~PackFolder();
    std::string Path(const std::string &name) const { return dir_ + "/" + name; }
    void WriteFile(const std::string &name, const std::vector<uint8_t> &bytes) const;
    void WriteText(const std::string &name, const std::string &text) const;
    // Eleven entries: a license text and ten files of varied content.
    void WriteStandardPayload(std::vector<std::vector<uint8_t>> *contents,
                              std::vector<uint64_t> *times) const;
    // options: further arguments of the tool, as they go on its command line.
    PackRun Pack(const std::string &listName = "payload.list", const std::string &options = "") const;
    std::vector<uint8_t> Read(const std::string &name) const;

private:
    std::string dir_;
};
