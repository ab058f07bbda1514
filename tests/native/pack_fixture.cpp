#include "pack_fixture.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

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
        contents->push_back(bytes);
        times->push_back(i == 10 ? 0 : 0x01D9D616EAD6E286ull + static_cast<uint64_t>(i) * 977);
    }
    std::string list = "# test payload\n";
    for (int i = 0; i < 11; i++) {
        std::string name = "entry" + std::to_string(i) + ".bin";
        WriteFile(name, (*contents)[i]);
        char line[128];
        snprintf(line, sizeof(line), "%s  0x%016llX\n", name.c_str(),
                 static_cast<unsigned long long>((*times)[i]));
        list += line;
    }
    WriteText("payload.list", list);
}

PackRun PackFolder::Pack(const std::string &listName, const std::string &options) const
{
    std::string command = std::string("'") + PACK_TOOL + "' --list '" + Path(listName) +
                          "' --dir '" + dir_ + "' --container '" + Path("payload.bin") +
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
