// Flash: the simulated module's program flash, a sparse byte space that reads 0xFF where nothing
// was written. Owned by one module; used on the simulator's event thread only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace modsim {

class Flash {
  public:
    void write(uint32_t address, const uint8_t* bytes, size_t count);
    std::vector<uint8_t> read(uint32_t address, size_t count) const;
    bool empty() const { return pages_.empty(); }
    uint32_t lowest() const { return low_; }
    uint64_t end() const { return high_; }  // one past the highest written byte
    // Writes bytes lowest()..end() (gaps 0xFF) to `path` through a temporary file and a rename,
    // so a reader never sees half a dump. An empty flash gives an empty file.
    bool dump(const std::string& path, std::string& error) const;

  private:
    static constexpr uint32_t kPage = 4096;
    std::map<uint32_t, std::array<uint8_t, kPage>> pages_;
    uint32_t low_ = 0;
    uint64_t high_ = 0;
};

}  // namespace modsim
