// Helpers shared by the back-ends (not part of the public interface).
#pragma once

#include "xmapi.h"

#include <string>

namespace xmapi::detail {

// 8-bit text in Windows code page `codePage` to UTF-8 (iconv). Unknown code pages are read as
// windows-1252; undecodable bytes become U+FFFD. A trailing NUL ends the text.
std::string decodeCodePage(const char* data, std::size_t size, int codePage);
// UTF-16LE bytes to UTF-8 (up to a NUL code unit).
std::string utf16leToUtf8(const std::uint8_t* data, std::size_t size);
// Converts a string value between PT_STRING8 and PT_UNICODE (and their multi-valued forms) in
// place; strings are UTF-8 either way, so only the tag changes.
bool convertStringType(PropValue& value, PropType wanted);
std::string hex32(std::uint32_t v); // "0x%08X"

// The password dialog for a protected store: S_OK once a password matching `crc` was given,
// MAPI_E_USER_CANCEL when the user cancelled (or no prompt is registered), MAPI_E_NO_ACCESS after
// the last wrong attempt (reported as a StoreProblem). Logs the outcome.
HResult unlockStore(const std::string& file, std::uint32_t crc);
void reportStoreProblems(const std::vector<StoreProblem>& problems, bool anyUsable);

HResult logonMemory(const std::string& path, std::unique_ptr<Session>& session);
HResult logonMemoryText(const std::string& json, const std::string& origin, std::unique_ptr<Session>& session);
HResult logonPst(const std::vector<std::string>& paths, std::unique_ptr<Session>& session);

} // namespace xmapi::detail

#include <functional>
#include <map>

namespace xmapi::detail {

// A value for `tag` out of stored values keyed by property id: absent -> PT_ERROR value
// (MAPI_E_NOT_FOUND); PT_UNSPECIFIED -> as stored; 8-bit and Unicode strings convert into each
// other; any other type mismatch counts as absent.
PropValue pickValue(const PropValue* stored, PropTag tag);

// A table whose rows are produced on demand by a reader. The reader gets the row index and the
// columns and fills the row; it sets `skip` for an entry that cannot be read (the row is left out).
class LazyTable : public Table {
public:
    using Reader = std::function<HResult(std::size_t index, const std::vector<PropTag>& columns, Row& row, bool& skip)>;
    LazyTable(std::size_t count, std::vector<PropTag> defaultColumns, Reader reader, HResult setColumnsResult = S_OK);

    HResult SetColumns(const std::vector<PropTag>& columns, std::uint32_t flags) override;
    HResult QueryRows(std::int32_t rowCount, std::uint32_t flags, RowSet& rows) override;
    HResult GetRowCount(std::uint32_t flags, std::uint32_t& count) override;
    HResult SeekToBeginning() override;

private:
    std::size_t m_count;
    std::size_t m_pos = 0;
    std::vector<PropTag> m_columns;
    Reader m_reader;
    HResult m_setColumnsResult;
};

// Entry ids of both file-like back-ends: 4 flag bytes (0), the store's 16-byte id, the node id
// (little-endian), as in .pst files.
EntryId makeEntryId(const std::array<std::uint8_t, 16>& storeUid, std::uint32_t nodeId);
// False when `id` is not an entry id of the store `storeUid`.
bool parseEntryId(const EntryId& id, const std::array<std::uint8_t, 16>& storeUid, std::uint32_t& nodeId);

} // namespace xmapi::detail

#include <mutex>
#include <tuple>

namespace xmapi::detail {

// Store-wide (property set, id or name) -> property id map with MAPI's GetIDsFromNames rules.
class NameMap {
public:
    void add(const NamedProp& name, std::uint16_t propId);
    // -1 when unknown.
    int find(const NamedProp& name) const;
    HResult resolve(const std::vector<NamedProp>& names, std::uint32_t flags, std::vector<PropTag>& tags);
    std::size_t size() const;

private:
    using Key = std::tuple<Guid, int, std::uint32_t, std::string>;
    static Key keyOf(const NamedProp& n);
    mutable std::mutex m_mutex;
    std::map<Key, std::uint16_t> m_ids;
    std::uint32_t m_highest = 0x7FFF;
};

} // namespace xmapi::detail
