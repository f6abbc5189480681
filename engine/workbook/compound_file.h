// A reader of compound documents (the container of .xls workbooks and of other files of
// Windows programs): a small file system inside one file, whose streams are chains of
// sectors listed in an allocation table (the FAT), and whose small streams are chains of
// 64-byte sectors inside one stream of their own (the mini stream, listed in the MiniFAT).
//
// Everything read from the file is checked before it is used: every sector number against
// the file's size, every chain for loops and for the length its stream claims, every
// directory entry against the directory. A damaged file gives an error that says what is
// wrong, never a read outside the data.
//
// The reader borrows the file's bytes, which the caller keeps alive and unchanged while the
// reader is used; streams it reads are copies the caller owns. One thread at a time per
// reader; readers of different files are independent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orv::engine::workbook {

class CompoundFile {
public:
    // The first bytes of every compound document.
    static constexpr std::string_view kSignature{"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8};

    // Reads the header, the allocation tables and the directory of `data`. On failure
    // `error` says what is wrong ("it is damaged: the sector chain of the directory loops").
    bool Open(std::string_view data, std::string& error);

    // Whether the top level of the document holds a stream of that name (names compare
    // without case, as the format says).
    bool HasStream(std::u16string_view name) const;

    // The whole stream of that name at the top level into `out`; false with `error` set
    // when there is none or its sectors cannot be read.
    bool ReadStream(std::u16string_view name, std::string& out, std::string& error) const;

private:
    struct Entry {
        std::u16string name;
        std::uint8_t type = 0;  // 1 storage, 2 stream, 5 root
        std::uint32_t left = 0, right = 0, child = 0, start = 0;
        std::uint64_t size = 0;
    };

    bool ReadHeader(std::string& error);
    bool ReadFat(std::string& error);
    bool ReadDirectory(std::string& error);
    bool ListTopLevel(std::string& error);
    // Follows a chain of the FAT (or the MiniFAT) from `start` and appends its sectors'
    // bytes to `out` until `size` bytes are read; with `size` unknown (the directory, the
    // MiniFAT), to the end of the chain. `what` names the chain in errors.
    bool ReadChain(std::uint32_t start, std::uint64_t size, bool sizeKnown, bool mini, const char* what,
                   std::string& out, std::string& error) const;
    const Entry* Find(std::u16string_view name) const;

    std::string_view m_data;
    std::uint32_t m_sectorSize = 512, m_miniSectorSize = 64, m_miniCutoff = 4096;
    std::uint32_t m_firstDirectory = 0, m_firstMiniFat = 0, m_fatSectors = 0;
    std::uint64_t m_sectorCount = 0;  // sectors that the file's size holds, after the header
    std::vector<std::uint32_t> m_fat, m_miniFat;
    std::string m_miniStream;
    std::vector<Entry> m_entries;
    std::vector<std::uint32_t> m_topLevel;  // indexes of the root's children
};

}  // namespace orv::engine::workbook
