// The settings of the cached volume, as the settings dialog and cache.ini
// hold them, and their parsing from nbdkit plugin parameters.
#pragma once

#include <cstdint>
#include <string>

namespace nbdcache {

// Sizes in bytes. The defaults are the settings dialog's, except for the SSD
// tier's size, which is kept small because the cache file is really created.
struct CacheSettings {
    uint64_t MemorySize = 1024ull << 20;
    uint32_t AllocateBlockSize = 32u << 20;
    uint32_t CacheBlockSize = 64u << 10;
    bool SsdEnabled = false;
    uint64_t SsdSize = 1024ull << 20;
    std::string CacheFile;  // host path; empty: a temporary file
};

// Parses a size: a plain number counts in Unit bytes (the unit the settings
// dialog shows); a number followed by K, M or G (optionally "iB"/"B") counts
// in those. Returns false for anything else, for zero and on overflow.
bool ParseSize(const std::string &Text, uint64_t Unit, uint64_t *Bytes);

// Parses a flag: 1/0, on/off, yes/no, true/false.
bool ParseFlag(const std::string &Text, bool *Value);

// Applies one plugin parameter to Settings when Key names a setting:
//   memory=MB  allocate-block=MB  cache-block=KB  ssd=on|off  ssd-size=MB
//   cache-file=PATH
// Returns 1 when applied, 0 when Key is not a setting, -1 (with Error) when
// the value is malformed.
int ApplySettingParameter(CacheSettings &Settings, const std::string &Key, const std::string &Value,
                          std::string *Error);

// A size as a plugin parameter takes it: the largest of G, M and K that
// divides it ("256K", "1M", "10G"), else bytes ("1000B").
std::string SizeText(uint64_t Bytes);

// The driver's rules for a start request, checked before it is sent, so that
// a start the driver would refuse (with nothing but a status) is explained
// instead: the rule broken, the values, and the nearest accepted value.
//   - allocate-block and cache-block are powers of two;
//   - memory, used in whole allocation blocks, holds at least one;
//   - with the SSD tier, ssd-size, used in whole 512 MB units, holds one.
// True when the driver's rules are met; otherwise false with Error.
bool CheckStartSettings(const CacheSettings &Settings, std::string *Error);

// The driver opens the cache file whether it exists or not, gives it the
// tier's size, overwrites it and deletes it at the stop. A cache-file= that
// names anything that exists is therefore refused unless MayOverwrite (the
// user's explicit cache-file-overwrite=on). True when Path may be used.
bool CheckCacheFile(const std::string &Path, bool MayOverwrite, std::string *Error);

}  // namespace nbdcache
