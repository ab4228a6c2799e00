// Backing stores of simulated volumes: anonymous memory and host files.
#include "SimVolume.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sim {
namespace {

// Memory reserved without commitment: pages that are never written cost
// nothing, so large volumes are cheap to simulate.
class MemoryStore : public SimBacking {
public:
    explicit MemoryStore(uint64_t Size) : Size_(Size)
    {
        if (Size_) {
            void *Base = mmap(nullptr, Size_, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
            Base_ = Base == MAP_FAILED ? nullptr : static_cast<uint8_t *>(Base);
        }
    }
    ~MemoryStore() override
    {
        if (Base_)
            munmap(Base_, Size_);
    }
    uint64_t Size() const override { return Size_; }
    NTSTATUS Read(uint64_t Offset, void *Buffer, uint32_t Length) override
    {
        if (!Fits(Offset, Length))
            return STATUS_INVALID_PARAMETER;
        memcpy(Buffer, Base_ + Offset, Length);
        return STATUS_SUCCESS;
    }
    NTSTATUS Write(uint64_t Offset, const void *Buffer, uint32_t Length) override
    {
        if (!Fits(Offset, Length))
            return STATUS_INVALID_PARAMETER;
        memcpy(Base_ + Offset, Buffer, Length);
        return STATUS_SUCCESS;
    }

private:
    bool Fits(uint64_t Offset, uint32_t Length) const
    {
        return (Base_ || Length == 0) && Offset <= Size_ && Length <= Size_ - Offset;
    }
    uint64_t Size_;
    uint8_t *Base_ = nullptr;
};

class FileStore : public SimBacking {
public:
    FileStore(const std::string &Path, uint64_t Size) : Size_(Size)
    {
        Fd_ = open(Path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (Fd_ >= 0 && ftruncate(Fd_, off_t(Size)) != 0) {
            close(Fd_);
            Fd_ = -1;
        }
    }
    ~FileStore() override
    {
        if (Fd_ >= 0)
            close(Fd_);
    }
    uint64_t Size() const override { return Size_; }
    NTSTATUS Read(uint64_t Offset, void *Buffer, uint32_t Length) override
    {
        return Transfer(false, Offset, Buffer, Length);
    }
    NTSTATUS Write(uint64_t Offset, const void *Buffer, uint32_t Length) override
    {
        return Transfer(true, Offset, const_cast<void *>(Buffer), Length);
    }
    NTSTATUS Flush() override { return fsync(Fd_) == 0 ? STATUS_SUCCESS : STATUS_IO_DEVICE_ERROR; }

private:
    NTSTATUS Transfer(bool Write, uint64_t Offset, void *Buffer, uint32_t Length)
    {
        if (Fd_ < 0)
            return STATUS_DEVICE_NOT_READY;
        if (Offset > Size_ || Length > Size_ - Offset)
            return STATUS_INVALID_PARAMETER;
        uint32_t Done = 0;
        while (Done < Length) {
            char *At = static_cast<char *>(Buffer) + Done;
            ssize_t Count = Write ? pwrite(Fd_, At, Length - Done, off_t(Offset + Done))
                                  : pread(Fd_, At, Length - Done, off_t(Offset + Done));
            if (Count < 0 && errno == EINTR)
                continue;
            if (Count < 0)
                return STATUS_IO_DEVICE_ERROR;
            if (Count == 0) {  // a hole at the end of a short file reads as zeros
                memset(At, 0, Length - Done);
                break;
            }
            Done += uint32_t(Count);
        }
        return STATUS_SUCCESS;
    }
    uint64_t Size_;
    int Fd_ = -1;
};

}  // namespace

std::unique_ptr<SimBacking> MemoryBacking(uint64_t Size)
{
    return std::unique_ptr<SimBacking>(new MemoryStore(Size));
}

std::unique_ptr<SimBacking> FileBacking(const std::string &HostPath, uint64_t Size)
{
    return std::unique_ptr<SimBacking>(new FileStore(HostPath, Size));
}

}  // namespace sim
