#include "NbdBacking.h"

#include <libnbd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#ifndef STATUS_MEDIA_WRITE_PROTECTED
#define STATUS_MEDIA_WRITE_PROTECTED ((NTSTATUS)0xC00000A2L)
#endif

namespace nbdcache {
namespace {

// Largest single command sent upstream; longer transfers are split. NBD
// servers commonly refuse requests above 32 MiB.
constexpr uint32_t MaxCommandBytes = 8u << 20;

class NbdPoolBacking final : public sim::SimBacking {
public:
    ~NbdPoolBacking() override
    {
        for (auto &c : Pool)
            nbd_close(c->Handle);
    }

    bool Connect(const UpstreamOptions &Options, std::string *Error)
    {
        const bool isUri = Options.Address.find("://") != std::string::npos;
        unsigned count = std::max(1u, Options.Connections);
        for (unsigned i = 0; i < count; i++) {
            auto c = std::make_unique<Connection>();
            c->Handle = nbd_create();
            if (!c->Handle)
                return Fail(Error);
            int rc = isUri ? nbd_connect_uri(c->Handle, Options.Address.c_str())
                           : nbd_connect_unix(c->Handle, Options.Address.c_str());
            if (rc == -1) {
                Fail(Error);
                nbd_close(c->Handle);
                return false;
            }
            // A successful read from a server that keeps to the protocol
            // fills the whole buffer, and a failed read's bytes are never
            // used: skip libnbd's zeroing of every read buffer.
            nbd_set_pread_initialize(c->Handle, false);
            int64_t size = nbd_get_size(c->Handle);
            if (size < 0) {
                Fail(Error);
                nbd_close(c->Handle);
                return false;
            }
            if (i == 0) {
                ExportSize = uint64_t(size);
                ReadOnly = nbd_is_read_only(c->Handle) == 1;
                CanFlush = nbd_can_flush(c->Handle) == 1;
            } else if (uint64_t(size) != ExportSize) {
                if (Error)
                    *Error = "upstream connections report different sizes";
                nbd_close(c->Handle);
                return false;
            }
            Pool.push_back(std::move(c));
        }
        return true;
    }

    uint64_t Size() const override { return ExportSize; }

    NTSTATUS Read(uint64_t Offset, void *Buffer, uint32_t Length) override
    {
        return Transfer(Offset, Length, [&](nbd_handle *h, uint64_t off, uint32_t done, uint32_t n) {
            return nbd_pread(h, static_cast<char *>(Buffer) + done, n, off, 0);
        });
    }

    NTSTATUS Write(uint64_t Offset, const void *Buffer, uint32_t Length) override
    {
        if (ReadOnly)
            return STATUS_MEDIA_WRITE_PROTECTED;
        return Transfer(Offset, Length, [&](nbd_handle *h, uint64_t off, uint32_t done, uint32_t n) {
            return nbd_pwrite(h, static_cast<const char *>(Buffer) + done, n, off, 0);
        });
    }

    // Without multi-connection consistency a flush only covers the writes of
    // its own connection, so every connection is flushed.
    NTSTATUS Flush() override
    {
        if (!CanFlush)
            return STATUS_SUCCESS;
        for (auto &c : Pool) {
            std::lock_guard<std::mutex> lock(c->Lock);
            if (nbd_flush(c->Handle, 0) == -1)
                return STATUS_IO_DEVICE_ERROR;
        }
        return STATUS_SUCCESS;
    }

    bool IsReadOnly() const { return ReadOnly; }

private:
    struct Connection {
        nbd_handle *Handle = nullptr;
        std::mutex Lock;
    };

    static bool Fail(std::string *Error)
    {
        if (Error) {
            const char *msg = nbd_get_error();
            *Error = msg ? msg : "libnbd failure";
        }
        return false;
    }

    // Takes the first free connection in pool order, else waits for one in
    // turn. A caller that sends one command at a time (the volume's worker)
    // so keeps using the first connection, whose upstream thread is awake,
    // instead of waking a different one for every command; concurrent callers
    // still spread over the pool.
    Connection &Acquire(std::unique_lock<std::mutex> &lock)
    {
        for (auto &Candidate : Pool) {
            std::unique_lock<std::mutex> l(Candidate->Lock, std::try_to_lock);
            if (l.owns_lock()) {
                lock = std::move(l);
                return *Candidate;
            }
        }
        Connection &c = *Pool[Next.fetch_add(1, std::memory_order_relaxed) % Pool.size()];
        lock = std::unique_lock<std::mutex>(c.Lock);
        return c;
    }

    template <typename Op>
    NTSTATUS Transfer(uint64_t Offset, uint32_t Length, Op op)
    {
        if (Offset > ExportSize || Length > ExportSize - Offset)
            return STATUS_INVALID_PARAMETER;
        std::unique_lock<std::mutex> lock;
        Connection &c = Acquire(lock);
        for (uint32_t done = 0; done < Length;) {
            uint32_t n = std::min(Length - done, MaxCommandBytes);
            if (op(c.Handle, Offset + done, done, n) == -1)
                return STATUS_IO_DEVICE_ERROR;
            done += n;
        }
        return STATUS_SUCCESS;
    }

    std::vector<std::unique_ptr<Connection>> Pool;
    std::atomic<size_t> Next{0};
    uint64_t ExportSize = 0;
    bool ReadOnly = false;
    bool CanFlush = false;
};

}  // namespace

std::unique_ptr<sim::SimBacking> ConnectUpstream(const UpstreamOptions &Options, std::string *Error)
{
    auto backing = std::make_unique<NbdPoolBacking>();
    if (!backing->Connect(Options, Error))
        return nullptr;
    return backing;
}

bool UpstreamIsReadOnly(sim::SimBacking &Backing)
{
    auto *pool = dynamic_cast<NbdPoolBacking *>(&Backing);
    return pool && pool->IsReadOnly();
}

}  // namespace nbdcache
