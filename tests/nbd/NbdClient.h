// A raw NBD client for the tests, over libnbd loaded at run time (so that the
// tests build without it and skip when it is absent). Strict mode is off:
// requests go to the server as given, out-of-range ones included, so that the
// server's own answers are what the tests see.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct nbd_handle;

namespace nbdtest {

class NbdClient {
public:
    static bool Available();
    ~NbdClient();
    bool Connect(const std::string &Uri);
    // Closes the connection; nbdkit exits only once its clients are gone.
    void Disconnect();
    int64_t Size();
    // 0 on success, else the errno the server's error maps to.
    int Read(uint64_t Offset, void *Buffer, size_t Length);
    int Write(uint64_t Offset, const void *Buffer, size_t Length);
    int Flush();
    std::vector<uint8_t> ReadBytes(uint64_t Offset, size_t Length, int *Error = nullptr);
    std::string LastError() const { return Error; }

private:
    ::nbd_handle *Handle = nullptr;
    std::string Error;
};

}  // namespace nbdtest
