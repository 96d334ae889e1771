// Backing store of a simulated disk: a disk image file, or sparse zeroes in memory.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

namespace zkv {

class SectorStore {
public:
    virtual ~SectorStore() = default;
    virtual void Read(std::uint64_t lba, std::uint8_t* out512) = 0;
    virtual void Write(std::uint64_t lba, const std::uint8_t* in512) = 0;
};

class MemorySectorStore final : public SectorStore {
public:
    void Read(std::uint64_t lba, std::uint8_t* out512) override;
    void Write(std::uint64_t lba, const std::uint8_t* in512) override;
    std::size_t SectorsHeld() const { return sectors_.size(); }

private:
    std::unordered_map<std::uint64_t, std::array<std::uint8_t, 512>> sectors_;
};

// Reads past the end of the file give zeroes; writes extend it (sparsely).
class FileSectorStore final : public SectorStore {
public:
    // Opens `path` for reading and writing; throws std::runtime_error when it cannot.
    explicit FileSectorStore(const std::string& path);
    ~FileSectorStore() override;
    FileSectorStore(const FileSectorStore&) = delete;
    FileSectorStore& operator=(const FileSectorStore&) = delete;

    void Read(std::uint64_t lba, std::uint8_t* out512) override;
    void Write(std::uint64_t lba, const std::uint8_t* in512) override;
    std::uint64_t SizeInSectors() const;

private:
    int fd_ = -1;
};

} // namespace zkv
