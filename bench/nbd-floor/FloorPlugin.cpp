// nbdkit plugin built only for scripts/bench-nbd: the floor of a cache with
// one worker per volume. Every read and write is handed to one worker thread
// (bench/floor/HandOff.h, as the in-process floor) and the submitting nbdkit
// thread waits for its completion. The worker keeps the export's bytes in RAM
// in blocks of block= bytes (default 64K):
//  - a read whose blocks are all held is one copy from RAM;
//  - otherwise the blocks it covers are fetched with one upstream read into
//    RAM, then copied out;
//  - a write is one upstream write, then copied over the blocks held.
// So warm reads cost the hand-off and a copy, and misses and writes one
// upstream round trip each, serialised by the worker.
//
//   nbdkit -U sock ./nbdkit-floor-plugin.so upstream=nbd+unix:///?socket=up.sock [block=64K]
#define NBDKIT_API_VERSION 2
#include <nbdkit-plugin.h>

#include <libnbd.h>

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include "bench/floor/HandOff.h"

#define THREAD_MODEL NBDKIT_THREAD_MODEL_PARALLEL

namespace {

enum class Op { Read, Write, Flush };

struct Transfer : floorpath::Request {
    Op Kind;
    void *Buffer;
    uint32_t Count;
    uint64_t Offset;
};

std::string Upstream;
uint64_t BlockSize = 64 * 1024;
nbd_handle *Nbd;
uint64_t Size;
unsigned char *Memory;
std::vector<unsigned char> Held;  // one flag per block
floorpath::Queue Requests;
std::thread Worker;

int Serve(Transfer *T)
{
    uint64_t First = T->Offset / BlockSize;
    uint64_t End = (T->Offset + T->Count + BlockSize - 1) / BlockSize;
    switch (T->Kind) {
    case Op::Read: {
        uint64_t b = First;
        while (b < End && Held[b])
            b++;
        if (b < End) {
            uint64_t From = First * BlockSize;
            uint64_t To = End * BlockSize < Size ? End * BlockSize : Size;
            if (nbd_pread(Nbd, Memory + From, To - From, From, 0) == -1)
                return EIO;
            memset(&Held[First], 1, End - First);
        }
        memcpy(T->Buffer, Memory + T->Offset, T->Count);
        return 0;
    }
    case Op::Write:
        if (nbd_pwrite(Nbd, T->Buffer, T->Count, T->Offset, 0) == -1)
            return EIO;
        for (uint64_t b = First; b < End; b++) {
            if (!Held[b])
                continue;
            uint64_t From = b * BlockSize > T->Offset ? b * BlockSize : T->Offset;
            uint64_t To =
                (b + 1) * BlockSize < T->Offset + T->Count ? (b + 1) * BlockSize : T->Offset + T->Count;
            memcpy(Memory + From, static_cast<unsigned char *>(T->Buffer) + (From - T->Offset), To - From);
        }
        return 0;
    case Op::Flush:
        return nbd_can_flush(Nbd) == 1 && nbd_flush(Nbd, 0) == -1 ? EIO : 0;
    }
    return EINVAL;
}

void WorkerLoop()
{
    while (floorpath::Request *R = Requests.Take()) {
        auto *T = static_cast<Transfer *>(R);
        T->Complete(Serve(T));
    }
}

int Submit(Op Kind, void *Buffer, uint32_t Count, uint64_t Offset)
{
    Transfer T;
    T.Kind = Kind;
    T.Buffer = Buffer;
    T.Count = Count;
    T.Offset = Offset;
    Requests.Submit(&T);
    T.Wait();
    if (T.Result) {
        nbdkit_set_error(T.Result);
        return -1;
    }
    return 0;
}

int FloorConfig(const char *Key, const char *Value)
{
    if (strcmp(Key, "upstream") == 0) {
        Upstream = Value;
    } else if (strcmp(Key, "block") == 0) {
        int64_t n = nbdkit_parse_size(Value);
        if (n < 512 || (n & (n - 1))) {
            nbdkit_error("block must be a power of two of at least 512");
            return -1;
        }
        BlockSize = uint64_t(n);
    } else {
        nbdkit_error("unknown parameter '%s'", Key);
        return -1;
    }
    return 0;
}

int FloorConfigComplete()
{
    if (Upstream.empty()) {
        nbdkit_error("upstream=URI is required");
        return -1;
    }
    return 0;
}

int FloorAfterFork()
{
    Nbd = nbd_create();
    if (!Nbd || nbd_connect_uri(Nbd, Upstream.c_str()) == -1) {
        nbdkit_error("upstream: %s", nbd_get_error());
        return -1;
    }
    nbd_set_pread_initialize(Nbd, false);
    int64_t n = nbd_get_size(Nbd);
    if (n <= 0) {
        nbdkit_error("upstream: no size");
        return -1;
    }
    Size = uint64_t(n);
    Memory = static_cast<unsigned char *>(calloc(1, Size));
    if (!Memory) {
        nbdkit_error("no memory for %llu bytes", (unsigned long long)Size);
        return -1;
    }
    Held.assign((Size + BlockSize - 1) / BlockSize, 0);
    Worker = std::thread(WorkerLoop);
    return 0;
}

void FloorUnload()
{
    if (Worker.joinable()) {
        Requests.Stop();
        Worker.join();
    }
    if (Nbd)
        nbd_close(Nbd);
    free(Memory);
}

void *FloorOpen(int)
{
    return &Requests;
}
int64_t FloorGetSize(void *)
{
    return int64_t(Size);
}
int FloorCanMultiConn(void *)
{
    return 1;
}
int FloorCanFlush(void *)
{
    return 1;
}
int FloorCanFua(void *)
{
    return NBDKIT_FUA_EMULATE;
}

int FloorPread(void *, void *Buffer, uint32_t Count, uint64_t Offset, uint32_t)
{
    return Submit(Op::Read, Buffer, Count, Offset);
}
int FloorPwrite(void *, const void *Buffer, uint32_t Count, uint64_t Offset, uint32_t)
{
    return Submit(Op::Write, const_cast<void *>(Buffer), Count, Offset);
}
int FloorFlush(void *, uint32_t)
{
    return Submit(Op::Flush, nullptr, 0, 0);
}

struct nbdkit_plugin Plugin = [] {
    struct nbdkit_plugin p;
    memset(&p, 0, sizeof p);
    p.name = "floor";
    p.longname = "one-worker cache floor for the benchmarks";
    p.version = "1.0";
    p.config = FloorConfig;
    p.config_complete = FloorConfigComplete;
    p.config_help = "upstream=URI   NBD export\nblock=SIZE     block size held in RAM (default 64K)";
    p.after_fork = FloorAfterFork;
    p.unload = FloorUnload;
    p.open = FloorOpen;
    p.get_size = FloorGetSize;
    p.can_multi_conn = FloorCanMultiConn;
    p.can_flush = FloorCanFlush;
    p.can_fua = FloorCanFua;
    p.pread = FloorPread;
    p.pwrite = FloorPwrite;
    p.flush = FloorFlush;
    p.errno_is_preserved = 0;
    return p;
}();

}  // namespace

NBDKIT_REGISTER_PLUGIN(Plugin)
