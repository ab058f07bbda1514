#include "pack_fixture.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>

#include <gtest/gtest.h>

PackFolder::PackFolder()
{
    char templ[] = "/tmp/orbelune-pack-XXXXXX";
    const char *made = mkdtemp(templ);
    EXPECT_NE(made, nullptr) << "temporary folder";
    dir_ = made ? made : "/tmp";
}

PackFolder::~PackFolder()
{
    std::string command = "rm -rf '" + dir_ + "'";
    if (system(command.c_str()) != 0)
        ADD_FAILURE() << "could not remove " << dir_;
}

void PackFolder::WriteFile(const std::string &name, const std::vector<uint8_t> &bytes) const
{
    FILE *file = fopen(Path(name).c_str(), "wb");
    ASSERT_NE(file, nullptr) << name;
    if (!bytes.empty())
        ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    fclose(file);
}

void PackFolder::WriteText(const std::string &name, const std::string &text) const
{
    WriteFile(name, std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<uint8_t> PackFolder::Read(const std::string &name) const
{
    std::vector<uint8_t> bytes;
    FILE *file = fopen(Path(name).c_str(), "rb");
    if (!file)
        return bytes;
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), file)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + n);
    fclose(file);
    return bytes;
}

std::vector<uint8_t> PackFolder::ProgramImage(const std::vector<uint8_t> &body)
{
    enum { Headers = 512, Coff = 68, Optional = 88, OptionalSize = 240, Section = Optional + OptionalSize };
    std::vector<uint8_t> image(Headers + body.size());
    auto put = [&image](size_t at, uint32_t value, int bytes) {
        for (int i = 0; i < bytes; i++)
            image[at + i] = static_cast<uint8_t>(value >> (8 * i));
    };
    image[0] = 'M', image[1] = 'Z';
    put(0x3C, Coff - 4, 4);
    image[Coff - 4] = 'P', image[Coff - 3] = 'E';
    put(Coff, 0x8664, 2);          // x86-64
    put(Coff + 2, 1, 2);           // one section
    put(Coff + 16, OptionalSize, 2);
    put(Coff + 18, 0x0022, 2);     // executable, large-address aware
    put(Optional, 0x20B, 2);       // PE32+
    put(Optional + 60, Headers, 4);
    put(Optional + 108, 16, 4);    // data directories
    put(Section + 16, static_cast<uint32_t>(body.size()), 4);
    put(Section + 20, Headers, 4);
    std::copy(body.begin(), body.end(), image.begin() + Headers);
    return image;
}

const std::vector<std::string> &PackFolder::EntryFiles()
{
    static const std::vector<std::string> files = [] {
        std::vector<std::string> names;
        for (int i = 0; i < 11; i++)
            names.push_back("entry" + std::to_string(i) + ".bin");
        names[7] = "sub folder/entry7.bin";
        names[8] = "build:entry8.bin";
        return names;
    }();
    return files;
}

void PackFolder::WriteStandardPayload(std::vector<std::vector<uint8_t>> *contents,
                                      std::vector<uint64_t> *times) const
{
    contents->clear();
    times->clear();
    std::string license = "TEST LICENSE\r\nline two\r\nlast line";
    contents->push_back(std::vector<uint8_t>(license.begin(), license.end()));
    times->push_back(0);
    uint32_t seed = 12345;
    for (int i = 1; i < 11; i++) {
        std::vector<uint8_t> bytes(1000 * i + 7);
        for (size_t k = 0; k < bytes.size(); k++) {
            seed = seed * 1103515245u + 12345u;
            bytes[k] = static_cast<uint8_t>((k % 7 == 0) ? (seed >> 16) : k * i);
        }
        contents->push_back(ProgramImage(bytes));
        times->push_back(i == 10 ? 0 : 0x01D9D616EAD6E286ull + static_cast<uint64_t>(i) * 977);
    }
    ASSERT_EQ(system(("mkdir -p '" + Path("sub folder") + "' '" + Path("built") + "'").c_str()), 0);
    std::string list = "# test payload\n";
    for (int i = 0; i < 11; i++) {
        std::string name = EntryFiles()[i];
        if (i == 6)
            name = Path(name);
        WriteFile(i == 8 ? "built/entry8.bin" : EntryFiles()[i], (*contents)[i]);
        char time[32];
        snprintf(time, sizeof(time), "  0x%016llX\n", static_cast<unsigned long long>((*times)[i]));
        list += name + time;
    }
    WriteText("payload.list", list);
}

PackRun PackFolder::Pack(const std::string &listName, const std::string &options) const
{
    std::string command = std::string("'") + PACK_TOOL + "' --list '" + Path(listName) +
                          "' --dir '" + Path("built") + "' --container '" + Path("payload.bin") +
                          "' --header '" + Path("payload_constants.h") + "' " + options + " 2>&1";
    PackRun run = {-1, ""};
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe)
        return run;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), pipe)) > 0)
        run.output.append(chunk, n);
    int status = pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}
