#include "engine/workbook/compound_file.h"

#include <cstring>

#include "platform/utf.h"

namespace orv::engine::workbook {

namespace {

// Sector numbers with a meaning of their own.
constexpr std::uint32_t kMaxRegular = 0xFFFFFFFA, kEndOfChain = 0xFFFFFFFE, kFree = 0xFFFFFFFF, kNoEntry = 0xFFFFFFFF;
constexpr std::size_t kHeaderSize = 512, kEntrySize = 128, kHeaderDifat = 109;

std::uint16_t U16(std::string_view data, std::size_t at) {
    return std::uint16_t(std::uint8_t(data[at]) | std::uint8_t(data[at + 1]) << 8);
}
std::uint32_t U32(std::string_view data, std::size_t at) {
    return std::uint32_t(U16(data, at)) | std::uint32_t(U16(data, at + 2)) << 16;
}

std::string Damaged(const std::string& what) { return "it is damaged: " + what; }

bool SameName(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (platform::ToUpper16(a[i]) != platform::ToUpper16(b[i])) return false;
    return true;
}

}  // namespace

bool CompoundFile::Open(std::string_view data, std::string& error) {
    m_data = data;
    return ReadHeader(error) && ReadFat(error) && ReadDirectory(error) && ListTopLevel(error);
}

bool CompoundFile::ReadHeader(std::string& error) {
    if (m_data.size() < kHeaderSize || m_data.substr(0, kSignature.size()) != kSignature) {
        error = m_data.size() < kHeaderSize && m_data.substr(0, kSignature.size()) == kSignature
                    ? Damaged("it ends within its header, after " + std::to_string(m_data.size()) + " bytes")
                    : "it is not a compound document";
        return false;
    }
    const std::uint16_t sectorShift = U16(m_data, 0x1E), miniShift = U16(m_data, 0x20);
    if (sectorShift != 9 && sectorShift != 12) {
        error = Damaged("its header gives a sector size of 2^" + std::to_string(sectorShift) +
                        " bytes, where the format has 512 or 4096");
        return false;
    }
    if (miniShift != 6) {
        error = Damaged("its header gives a mini sector size of 2^" + std::to_string(miniShift) +
                        " bytes, where the format has 64");
        return false;
    }
    m_sectorSize = 1u << sectorShift;
    m_miniSectorSize = 1u << miniShift;
    m_fatSectors = U32(m_data, 0x2C);
    m_firstDirectory = U32(m_data, 0x30);
    m_miniCutoff = U32(m_data, 0x38);
    m_firstMiniFat = U32(m_data, 0x3C);
    // The header takes the first sector; a last sector cut short still counts, so that a
    // stream that ends before the cut reads (its sectors are checked byte by byte).
    m_sectorCount = m_data.size() <= m_sectorSize ? 0 : (m_data.size() - 1) / m_sectorSize;
    if (m_fatSectors == 0 || m_fatSectors > m_sectorCount) {
        error =
            Damaged("its header names " + std::to_string(m_fatSectors) +
                    " sectors of allocation table, and the file holds " + std::to_string(m_sectorCount) + " sectors");
        return false;
    }
    return true;
}

bool CompoundFile::ReadFat(std::string& error) {
    // The sectors of the FAT are listed in the header (the first 109) and then in a chain of
    // DIFAT sectors, each ending with the number of the next one.
    std::vector<std::uint32_t> fatSectors;
    for (std::size_t i = 0; i < kHeaderDifat && fatSectors.size() < m_fatSectors; ++i)
        fatSectors.push_back(U32(m_data, 0x4C + 4 * i));
    std::uint32_t difat = U32(m_data, 0x44);
    const std::uint32_t perDifat = m_sectorSize / 4 - 1;
    std::vector<bool> seen(m_sectorCount, false);
    while (fatSectors.size() < m_fatSectors) {
        if (difat >= m_sectorCount || (difat + 2) * std::uint64_t(m_sectorSize) > m_data.size()) {
            error = Damaged("its list of allocation table sectors ends after " + std::to_string(fatSectors.size()) +
                            " of the " + std::to_string(m_fatSectors) + " its header names");
            return false;
        }
        if (seen[difat]) {
            error = Damaged("its list of allocation table sectors loops back to sector " + std::to_string(difat));
            return false;
        }
        seen[difat] = true;
        const std::size_t at = (difat + 1) * std::size_t(m_sectorSize);
        for (std::uint32_t i = 0; i < perDifat && fatSectors.size() < m_fatSectors; ++i)
            fatSectors.push_back(U32(m_data, at + 4 * i));
        difat = U32(m_data, at + 4 * perDifat);
    }
    const std::uint32_t perSector = m_sectorSize / 4;
    m_fat.reserve(std::size_t(m_fatSectors) * perSector);
    for (std::uint32_t sector : fatSectors) {
        if (sector >= m_sectorCount || (sector + 2) * std::uint64_t(m_sectorSize) > m_data.size()) {
            error = Damaged("a sector of its allocation table, number " + std::to_string(sector) +
                            ", lies beyond the end of the file");
            return false;
        }
        const std::size_t at = (sector + 1) * std::size_t(m_sectorSize);
        for (std::uint32_t i = 0; i < perSector; ++i) m_fat.push_back(U32(m_data, at + 4 * i));
    }
    return true;
}

bool CompoundFile::ReadChain(std::uint32_t start, std::uint64_t size, bool sizeKnown, bool mini, const char* what,
                             std::string& out, std::string& error) const {
    const std::vector<std::uint32_t>& table = mini ? m_miniFat : m_fat;
    const std::string_view space = mini ? std::string_view(m_miniStream) : m_data;
    const std::uint32_t sectorSize = mini ? m_miniSectorSize : m_sectorSize;
    // In the file, sector n follows the header's sector; in the mini stream, there is none.
    const std::uint64_t base = mini ? 0 : m_sectorSize;
    if (sizeKnown && size > space.size()) {
        error = Damaged(std::string(what) + " claims " + std::to_string(size) + " bytes, more than the " +
                        (mini ? "mini stream" : "file") + " holds");
        return false;
    }
    out.clear();
    if (sizeKnown) out.reserve(std::size_t(size));
    std::vector<bool> seen(table.size(), false);
    std::uint32_t sector = start;
    while (!sizeKnown || out.size() < size) {
        if (sector == kEndOfChain && !sizeKnown) return true;
        if (sector > kMaxRegular || sector >= table.size()) {
            if (sector == kEndOfChain || sector == kFree)
                error = Damaged(std::string(what) + " is cut short: its chain of sectors ends after " +
                                std::to_string(out.size()) + " of its " + std::to_string(size) + " bytes");
            else
                error = Damaged(std::string(what) + " refers to sector " + std::to_string(sector) + ", which " +
                                (mini ? "the mini stream" : "the file") + " does not have");
            return false;
        }
        if (seen[sector]) {
            error = Damaged("the chain of sectors of " + std::string(what) + " loops back to sector " +
                            std::to_string(sector));
            return false;
        }
        seen[sector] = true;
        const std::uint64_t at = base + std::uint64_t(sector) * sectorSize;
        std::uint64_t take = sectorSize;
        if (sizeKnown) take = std::min<std::uint64_t>(take, size - out.size());
        if (at + take > space.size()) {
            error = Damaged(std::string(what) + " lies partly beyond the end of the " +
                            (mini ? "mini stream" : "file") + " (sector " + std::to_string(sector) + ")");
            return false;
        }
        out.append(space.substr(std::size_t(at), std::size_t(take)));
        sector = table[sector];
    }
    return true;
}

bool CompoundFile::ReadDirectory(std::string& error) {
    std::string directory;
    if (!ReadChain(m_firstDirectory, 0, false, false, "the directory", directory, error)) return false;
    const std::size_t count = directory.size() / kEntrySize;
    m_entries.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::string_view raw = std::string_view(directory).substr(i * kEntrySize, kEntrySize);
        Entry& entry = m_entries[i];
        entry.type = std::uint8_t(raw[0x42]);
        if (entry.type == 0) continue;  // an unused entry
        const std::uint16_t nameBytes = U16(raw, 0x40);
        for (std::size_t c = 0; c + 1 < nameBytes / 2u && c < 32; ++c) entry.name.push_back(char16_t(U16(raw, 2 * c)));
        entry.left = U32(raw, 0x44);
        entry.right = U32(raw, 0x48);
        entry.child = U32(raw, 0x4C);
        entry.start = U32(raw, 0x74);
        // Version 3 files (512-byte sectors) may leave garbage in the size's high half.
        entry.size = m_sectorSize == 512 ? U32(raw, 0x78) : U32(raw, 0x78) | std::uint64_t(U32(raw, 0x7C)) << 32;
    }
    if (m_entries.empty() || m_entries[0].type != 5) {
        error = Damaged("its directory has no root entry");
        return false;
    }
    // The mini stream is the root entry's stream; the MiniFAT lists its 64-byte sectors.
    const Entry& root = m_entries[0];
    if (root.size > 0 && !ReadChain(root.start, root.size, true, false, "the mini stream", m_miniStream, error))
        return false;
    std::string miniFat;
    if (m_firstMiniFat != kEndOfChain && m_firstMiniFat != kFree &&
        !ReadChain(m_firstMiniFat, 0, false, false, "the mini stream's allocation table", miniFat, error))
        return false;
    m_miniFat.resize(miniFat.size() / 4);
    for (std::size_t i = 0; i < m_miniFat.size(); ++i) m_miniFat[i] = U32(miniFat, 4 * i);
    return true;
}

bool CompoundFile::ListTopLevel(std::string& error) {
    // The root's children form a binary tree of siblings (left, right).
    std::vector<bool> seen(m_entries.size(), false);
    std::vector<std::uint32_t> pending{m_entries[0].child};
    while (!pending.empty()) {
        const std::uint32_t index = pending.back();
        pending.pop_back();
        if (index == kNoEntry) continue;
        if (index >= m_entries.size() || index == 0 || m_entries[index].type == 0) {
            error = Damaged("its directory refers to entry " + std::to_string(index) + ", which it does not have");
            return false;
        }
        if (seen[index]) {
            error = Damaged("its directory's tree of names comes back to entry " + std::to_string(index));
            return false;
        }
        seen[index] = true;
        m_topLevel.push_back(index);
        pending.push_back(m_entries[index].left);
        pending.push_back(m_entries[index].right);
    }
    return true;
}

const CompoundFile::Entry* CompoundFile::Find(std::u16string_view name) const {
    for (std::uint32_t index : m_topLevel)
        if (m_entries[index].type == 2 && SameName(m_entries[index].name, name)) return &m_entries[index];
    return nullptr;
}

bool CompoundFile::HasStream(std::u16string_view name) const { return Find(name) != nullptr; }

bool CompoundFile::ReadStream(std::u16string_view name, std::string& out, std::string& error) const {
    const Entry* entry = Find(name);
    if (!entry) {
        error = "it has no stream '" + platform::Utf16ToUtf8(name) + "'";
        return false;
    }
    const std::string what = "the stream '" + platform::Utf16ToUtf8(name) + "'";
    const bool mini = entry->size < m_miniCutoff;
    if (entry->size == 0) {
        out.clear();
        return true;
    }
    return ReadChain(entry->start, entry->size, true, mini, what.c_str(), out, error);
}

}  // namespace orv::engine::workbook
