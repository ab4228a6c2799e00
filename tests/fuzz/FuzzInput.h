// Reading a fuzz input piece by piece: every read takes what is left and
// pads with zero once the input is used up, so that every input decodes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <stdlib.h>

namespace fuzz {

class FuzzInput {
public:
    FuzzInput(const uint8_t *Data, size_t Size) : Data(Data), Size(Size) {}

    bool Empty() const { return Offset >= Size; }
    size_t Left() const { return Size - Offset; }

    uint8_t Byte() { return Offset < Size ? Data[Offset++] : 0; }
    uint16_t U16() { return uint16_t(Byte() | (Byte() << 8)); }
    uint32_t U32() { return uint32_t(U16()) | (uint32_t(U16()) << 16); }
    uint64_t U64() { return uint64_t(U32()) | (uint64_t(U32()) << 32); }

    // Up to Count bytes into Out; returns how many were left to take.
    size_t Bytes(void *Out, size_t Count)
    {
        size_t n = Count < Left() ? Count : Left();
        if (n)
            memcpy(Out, Data + Offset, n);
        Offset += n;
        return n;
    }

private:
    const uint8_t *Data;
    size_t Size;
    size_t Offset = 0;
};

// A broken property: prints it and aborts, so that libFuzzer keeps the input.
[[noreturn]] inline void Fail(const std::string &What)
{
    fprintf(stderr, "fuzz property failed: %s\n", What.c_str());
    abort();
}

// A fresh directory for one target's files, in memory where the host has
// /dev/shm, removed when the process ends.
inline std::string MakeScratchDirectory(const char *Prefix)
{
    std::error_code ec;
    const char *base = std::filesystem::is_directory("/dev/shm", ec) ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/" + Prefix + "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back(0);
    if (!mkdtemp(name.data()))
        Fail("mkdtemp");
    static std::string Directory;
    Directory = name.data();
    atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(Directory, ignored);
    });
    return Directory;
}

#define FUZZ_CHECK(condition, what)                                                                          \
    do {                                                                                                     \
        if (!(condition))                                                                                    \
            ::fuzz::Fail(std::string(#condition) + ": " + (what));                                           \
    } while (0)

}  // namespace fuzz
