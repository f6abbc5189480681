// An .xlsx package as the reader and the writer both see it: a zip archive of parts, found
// by name without case, read in chunks with limits on what a part may unpack to, and tied
// together by relationship parts (_rels/*.rels) whose targets are resolved against the part
// that holds them. Element and attribute names are compared by their local name: programs
// bind the spreadsheet namespace to the default prefix or to "x:", and nothing in these
// parts needs the namespace to tell names apart.
//
// A Package and a PartStream belong to their caller, one thread at a time; the functions
// may be called from any thread.
#pragma once

#include <zip.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orv::engine::workbook {

// The most one part may unpack to: a sheet of a million rows fits many times over.
inline constexpr zip_uint64_t kMaxPartSize = zip_uint64_t(1) << 30;

// "x:sheet" -> "sheet"; "sheet" -> "sheet". The form for expat's names finds the end and
// the colon in one pass: it runs for every element of every sheet.
std::string_view LocalName(std::string_view qualified);
std::string_view LocalName(const char* qualified);
// "x:sheet" -> "x:"; "sheet" -> "".
std::string_view Prefix(std::string_view qualified);
// The value of the attribute with this local name (any prefix, r:id as id), or null.
// `attributes` is expat's list: name, value, ..., null.
const char* Attribute(const char* const* attributes, std::string_view local);

// The part a relationship of `source` points to: relative to the source's folder, or from
// the package's root when the target starts with '/'; "." and ".." segments are resolved.
// "xl/workbook.xml" + "worksheets/sheet1.xml" -> "xl/worksheets/sheet1.xml".
std::string ResolveTarget(std::string_view source, std::string_view target);
// The relationships part of a part: "xl/workbook.xml" -> "xl/_rels/workbook.xml.rels".
std::string RelationshipsPart(std::string_view part);

struct Relationship {
    std::string id, type, target;
    std::string part;  // the target resolved; empty for an external target (a web address)
};
// A <Relationship> element of the relationships of `source`; nullopt without an Id.
std::optional<Relationship> RelationshipOf(const char* const* attributes, std::string_view source);
// The first relationship whose type ends with `suffix` ("/styles", "/worksheet"), or null.
const Relationship* FindRelationship(const std::vector<Relationship>& relationships, std::string_view suffix);

// One part being read: its bytes in chunks, refused past what the archive declared for it.
class PartStream {
public:
    PartStream() = default;
    ~PartStream();
    PartStream(const PartStream&) = delete;
    PartStream& operator=(const PartStream&) = delete;

    // Up to `size` bytes into `into`; 0 at the end, -1 with `error` set.
    zip_int64_t Read(void* into, std::size_t size, std::string& error);

private:
    friend class Package;
    zip_file_t* m_file = nullptr;
    std::string m_part;
    zip_uint64_t m_declared = 0, m_total = 0;
};

class Package {
public:
    // Takes over `zip` (an archive opened for reading); discards it when destroyed.
    explicit Package(zip_t* zip) : m_zip(zip) {}
    ~Package() { zip_discard(m_zip); }
    Package(const Package&) = delete;
    Package& operator=(const Package&) = delete;

    zip_t* Handle() const { return m_zip; }
    // The entry of a part, -1 when there is none. Part names compare without case.
    zip_int64_t Find(const std::string& part) const;
    bool Has(const std::string& part) const { return Find(part) >= 0; }
    zip_int64_t Entries() const { return zip_get_num_entries(m_zip, 0); }
    // The part's declared uncompressed size, 0 when it is missing.
    zip_uint64_t DeclaredSize(const std::string& part) const;

    // Starts reading a part. False with `error` completing "Cannot open the workbook ...: "
    // (a missing part, one that would unpack to more than kMaxPartSize, a damaged entry).
    bool Open(const std::string& part, PartStream& stream, std::string& error) const;

private:
    zip_t* m_zip;
};

}  // namespace orv::engine::workbook
