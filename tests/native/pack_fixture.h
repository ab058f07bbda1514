// Builds a payload list with eleven small files in a fresh temporary folder
// and runs the packing tool on it. The folder holds the list; "built/" in it
// is the folder of the programs that the build makes.
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
    // Eleven entries: a license text and ten programs of varied content.
    // Entry 6 is named by its absolute path, entry 7 relative to the list's
    // folder in a subfolder with a blank, entry 8 as a program that the
    // build makes (built/entry8.bin), the others by bare name.
    void WriteStandardPayload(std::vector<std::vector<uint8_t>> *contents,
                              std::vector<uint64_t> *times) const;
    // options: further arguments of the tool, as they go on its command line.
    PackRun Pack(const std::string &listName = "payload.list", const std::string &options = "") const;
    std::vector<uint8_t> Read(const std::string &name) const;

    // A 64-bit program image: the headers of a PE32+ executable and one
    // section that holds the body.
    static std::vector<uint8_t> ProgramImage(const std::vector<uint8_t> &body);
    static const std::vector<std::string> &EntryFiles();  // entry i's file, as the list names it

private:
    std::string dir_;
};
