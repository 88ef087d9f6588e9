// Store-access interface: the small part of Extended MAPI that the importers use.
//
// Everything above this header (ExOutlook, the field mappings, the import runs) is written once
// against it; back-ends implement it: a memory back-end filled from JSON fixtures, a back-end over
// .pst/.ost files (libpff) and, on Windows, one over Extended MAPI itself. The header uses standard
// C++ types only, so that the Windows back-end compiles without Qt.
//
// Conventions kept from MAPI: 32-bit result codes (negative = failure, positive = warning), property
// tags of 32 bits (id in the high word, type in the low word), a row is an array of values in the
// order of the columns that were set, and a column that the object lacks comes back with the same
// id and the type PT_ERROR (value: the error code). Unlike MAPI, objects are owned by
// std::unique_ptr (destroying one is its Release) and no buffers need freeing.
//
// Strings: every string value (PT_STRING8, PT_UNICODE and their multi-valued forms) is handed out
// as UTF-8. A back-end decodes 8-bit strings with the code page that they were written in (the
// item's PR_MESSAGE_CODEPAGE or PR_INTERNET_CPID, else the store's), so no text is lost on the way.
//
// Threads: an object may be used from a thread other than the one that opened it (the folder scan
// runs in the GUI thread, the import run in a worker), but one object is never used by two threads
// at the same time. Back-ends serialise access to shared underlying files themselves.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Values identical to those of the Windows MAPI headers; a MAPI back-end includes mapix.h first.
#ifndef PT_UNSPECIFIED
#define PT_UNSPECIFIED 0x0000u
#define PT_NULL 0x0001u
#define PT_SHORT 0x0002u
#define PT_LONG 0x0003u
#define PT_FLOAT 0x0004u
#define PT_DOUBLE 0x0005u
#define PT_CURRENCY 0x0006u
#define PT_APPTIME 0x0007u
#define PT_ERROR 0x000Au
#define PT_BOOLEAN 0x000Bu
#define PT_OBJECT 0x000Du
#define PT_I8 0x0014u
#define PT_STRING8 0x001Eu
#define PT_UNICODE 0x001Fu
#define PT_SYSTIME 0x0040u
#define PT_CLSID 0x0048u
#define PT_BINARY 0x0102u
#define PT_MV_LONG 0x1003u
#define PT_MV_STRING8 0x101Eu
#define PT_MV_UNICODE 0x101Fu
#define PT_MV_BINARY 0x1102u
#endif
#ifndef PROP_TYPE
#define PROP_TYPE(tag) (static_cast<std::uint32_t>(tag) & 0x0000FFFFu)
#define PROP_ID(tag) (static_cast<std::uint32_t>(tag) >> 16)
#define PROP_TAG(type, id) ((static_cast<std::uint32_t>(id) << 16) | static_cast<std::uint32_t>(type))
#define CHANGE_PROP_TYPE(tag, type) ((static_cast<std::uint32_t>(tag) & 0xFFFF0000u) | static_cast<std::uint32_t>(type))
#endif

// Flags
#ifndef MAPI_UNICODE
#define MAPI_UNICODE 0x80000000u
#endif
#ifndef MAPI_CREATE
#define MAPI_CREATE 0x00000002u
#endif
#ifndef MAPI_MODIFY
#define MAPI_MODIFY 0x00000001u
#endif
#ifndef MAPI_BEST_ACCESS
#define MAPI_BEST_ACCESS 0x00000010u
#endif
#ifndef MAPI_LOGON_UI
#define MAPI_LOGON_UI 0x00000001u
#define MAPI_NEW_SESSION 0x00000002u
#define MAPI_EXTENDED 0x00000020u
#endif

// Object types (OpenEntry)
#ifndef MAPI_STORE
#define MAPI_STORE 1u
#define MAPI_FOLDER 3u
#define MAPI_MESSAGE 5u
#endif

// Recipient types
#ifndef MAPI_TO
#define MAPI_TO 1
#define MAPI_CC 2
#define MAPI_BCC 3
#endif

// Attachment methods
#ifndef ATTACH_BY_VALUE
#define ATTACH_BY_VALUE 1
#define ATTACH_EMBEDDED_MSG 5
#endif

namespace xmapi {

using HResult = std::int32_t;
using PropTag = std::uint32_t;
using PropType = std::uint32_t;

constexpr bool failed(HResult hr) { return hr < 0; }
constexpr bool succeeded(HResult hr) { return hr >= 0; }

} // namespace xmapi

// Result codes, same values as MAPI's.
#ifndef S_OK
#define S_OK static_cast<xmapi::HResult>(0x00000000u)
#endif
#ifndef E_FAIL
#define E_FAIL static_cast<xmapi::HResult>(0x80004005u)
#endif
#ifndef E_INVALIDARG
#define E_INVALIDARG static_cast<xmapi::HResult>(0x80070057u)
#endif
#ifndef E_OUTOFMEMORY
#define E_OUTOFMEMORY static_cast<xmapi::HResult>(0x8007000Eu)
#endif
#ifndef MAPI_E_CALL_FAILED
#define MAPI_E_CALL_FAILED static_cast<xmapi::HResult>(0x80004005u)
#endif
#ifndef MAPI_E_NO_SUPPORT
#define MAPI_E_NO_SUPPORT static_cast<xmapi::HResult>(0x80040102u)
#endif
#ifndef MAPI_E_NOT_FOUND
#define MAPI_E_NOT_FOUND static_cast<xmapi::HResult>(0x8004010Fu)
#endif
#ifndef MAPI_E_INVALID_ENTRYID
#define MAPI_E_INVALID_ENTRYID static_cast<xmapi::HResult>(0x80040107u)
#endif
#ifndef MAPI_E_LOGON_FAILED
#define MAPI_E_LOGON_FAILED static_cast<xmapi::HResult>(0x80040111u)
#endif
#ifndef MAPI_E_USER_CANCEL
#define MAPI_E_USER_CANCEL static_cast<xmapi::HResult>(0x80040113u)
#endif
#ifndef MAPI_E_CORRUPT_DATA
#define MAPI_E_CORRUPT_DATA static_cast<xmapi::HResult>(0x8004011Bu)
#endif
#ifndef MAPI_E_UNKNOWN_ENTRYID
#define MAPI_E_UNKNOWN_ENTRYID static_cast<xmapi::HResult>(0x80040201u)
#endif
#ifndef MAPI_E_NOT_INITIALIZED
#define MAPI_E_NOT_INITIALIZED static_cast<xmapi::HResult>(0x80040605u)
#endif
#ifndef MAPI_E_NO_ACCESS
#define MAPI_E_NO_ACCESS static_cast<xmapi::HResult>(0x80070005u)
#endif
#ifndef MAPI_E_INVALID_PARAMETER
#define MAPI_E_INVALID_PARAMETER static_cast<xmapi::HResult>(0x80070057u)
#endif
#ifndef MAPI_E_NOT_ENOUGH_MEMORY
#define MAPI_E_NOT_ENOUGH_MEMORY static_cast<xmapi::HResult>(0x8007000Eu)
#endif
#ifndef MAPI_W_ERRORS_RETURNED
#define MAPI_W_ERRORS_RETURNED static_cast<xmapi::HResult>(0x00040380u)
#endif

// Property tags used across the suite.
#ifndef PR_ENTRYID
#define PR_ENTRYID PROP_TAG(PT_BINARY, 0x0FFF)
#endif
#ifndef PR_RECORD_KEY
#define PR_RECORD_KEY PROP_TAG(PT_BINARY, 0x0FF9)
#endif
// The record key of the store that holds an object (every folder and message answers it).
#ifndef PR_STORE_RECORD_KEY
#define PR_STORE_RECORD_KEY PROP_TAG(PT_BINARY, 0x0FFA)
#endif
#ifndef PR_DISPLAY_NAME_W
#define PR_DISPLAY_NAME_W PROP_TAG(PT_UNICODE, 0x3001)
#endif
#ifndef PR_CONTAINER_CLASS_W
#define PR_CONTAINER_CLASS_W PROP_TAG(PT_UNICODE, 0x3613)
#endif
#ifndef PR_CONTENT_COUNT
#define PR_CONTENT_COUNT PROP_TAG(PT_LONG, 0x3602)
#endif
#ifndef PR_IPM_SUBTREE_ENTRYID
#define PR_IPM_SUBTREE_ENTRYID PROP_TAG(PT_BINARY, 0x35E0)
#endif
#ifndef PR_SUBJECT_W
#define PR_SUBJECT_W PROP_TAG(PT_UNICODE, 0x0037)
#endif
#ifndef PR_BODY_W
#define PR_BODY_W PROP_TAG(PT_UNICODE, 0x1000)
#endif
#ifndef PR_MESSAGE_CLASS_W
#define PR_MESSAGE_CLASS_W PROP_TAG(PT_UNICODE, 0x001A)
#endif
#ifndef PR_MESSAGE_SIZE
#define PR_MESSAGE_SIZE PROP_TAG(PT_LONG, 0x0E08)
#endif
#ifndef PR_MESSAGE_DELIVERY_TIME
#define PR_MESSAGE_DELIVERY_TIME PROP_TAG(PT_SYSTIME, 0x0E06)
#endif
#ifndef PR_CLIENT_SUBMIT_TIME
#define PR_CLIENT_SUBMIT_TIME PROP_TAG(PT_SYSTIME, 0x0039)
#endif
#ifndef PR_SENDER_NAME_W
#define PR_SENDER_NAME_W PROP_TAG(PT_UNICODE, 0x0C1A)
#endif
#ifndef PR_SENDER_EMAIL_ADDRESS_W
#define PR_SENDER_EMAIL_ADDRESS_W PROP_TAG(PT_UNICODE, 0x0C1F)
#endif
#ifndef PR_SENDER_ADDRTYPE_W
#define PR_SENDER_ADDRTYPE_W PROP_TAG(PT_UNICODE, 0x0C1E)
#endif
#ifndef PR_DISPLAY_TO_W
#define PR_DISPLAY_TO_W PROP_TAG(PT_UNICODE, 0x0E04)
#endif
#ifndef PR_DISPLAY_CC_W
#define PR_DISPLAY_CC_W PROP_TAG(PT_UNICODE, 0x0E03)
#endif
#ifndef PR_DISPLAY_BCC_W
#define PR_DISPLAY_BCC_W PROP_TAG(PT_UNICODE, 0x0E02)
#endif
#ifndef PR_INTERNET_MESSAGE_ID_W
#define PR_INTERNET_MESSAGE_ID_W PROP_TAG(PT_UNICODE, 0x1035)
#endif
#ifndef PR_TRANSPORT_MESSAGE_HEADERS_W
#define PR_TRANSPORT_MESSAGE_HEADERS_W PROP_TAG(PT_UNICODE, 0x007D)
#endif
#ifndef PR_MESSAGE_CODEPAGE
#define PR_MESSAGE_CODEPAGE PROP_TAG(PT_LONG, 0x3FFD)
#endif
#ifndef PR_INTERNET_CPID
#define PR_INTERNET_CPID PROP_TAG(PT_LONG, 0x3FDE)
#endif
#ifndef PR_LAST_MODIFICATION_TIME
#define PR_LAST_MODIFICATION_TIME PROP_TAG(PT_SYSTIME, 0x3008)
#endif
#ifndef PR_PRIORITY
#define PR_PRIORITY PROP_TAG(PT_LONG, 0x0026)
#endif
#ifndef PR_SENSITIVITY
#define PR_SENSITIVITY PROP_TAG(PT_LONG, 0x0036)
#endif
#ifndef PR_MESSAGE_FLAGS
#define PR_MESSAGE_FLAGS PROP_TAG(PT_LONG, 0x0E07)
#endif
// Store properties of personal folders: the file's path, and the checksum of its password.
#ifndef PR_PST_PATH_W
#define PR_PST_PATH_W PROP_TAG(PT_UNICODE, 0x6700)
#endif
#ifndef PR_PST_PASSWORD
#define PR_PST_PASSWORD PROP_TAG(PT_LONG, 0x67FF)
#endif

namespace xmapi {

// 100-ns ticks since 1601-01-01 UTC, as MAPI's FILETIME (dwHighDateTime << 32 | dwLowDateTime).
struct FileTime {
    std::uint64_t ticks = 0;
    std::uint32_t low() const { return static_cast<std::uint32_t>(ticks); }
    std::uint32_t high() const { return static_cast<std::uint32_t>(ticks >> 32); }
    static FileTime fromParts(std::uint32_t low, std::uint32_t high)
    {
        return FileTime{(static_cast<std::uint64_t>(high) << 32) | low};
    }
};

using Bytes = std::vector<std::uint8_t>;
using EntryId = Bytes;

// One property value. Which member holds the value follows PROP_TYPE(tag):
//   PT_LONG, PT_SHORT, PT_BOOLEAN (0 or 1), PT_ERROR (the error code): l
//   PT_I8, PT_CURRENCY: i8;  PT_DOUBLE, PT_FLOAT, PT_APPTIME: dbl;  PT_SYSTIME: ft
//   PT_STRING8, PT_UNICODE: str (UTF-8);  PT_BINARY, PT_CLSID: bin
//   PT_MV_STRING8, PT_MV_UNICODE: mvStr (UTF-8);  PT_MV_LONG: mvLong;  PT_MV_BINARY: mvBin
struct PropValue {
    PropTag tag = PROP_TAG(PT_NULL, 0);
    std::int32_t l = 0;
    std::int64_t i8 = 0;
    double dbl = 0.0;
    FileTime ft;
    std::string str;
    Bytes bin;
    std::vector<std::string> mvStr;
    std::vector<std::int32_t> mvLong;
    std::vector<Bytes> mvBin;

    PropType type() const { return PROP_TYPE(tag); }
    bool isError() const { return PROP_TYPE(tag) == PT_ERROR; }

    static PropValue error(PropTag requested, HResult code)
    {
        PropValue v;
        v.tag = CHANGE_PROP_TYPE(requested, PT_ERROR);
        v.l = code;
        return v;
    }
};

using Row = std::vector<PropValue>;
using RowSet = std::vector<Row>;

// A GUID in its textual byte order ({00062004-0000-0000-C000-000000000046}): data1..data3 as
// numbers, then the eight data4 bytes. The binary form (toBytes) is the little-endian one of MAPI.
struct Guid {
    std::uint32_t data1 = 0;
    std::uint16_t data2 = 0;
    std::uint16_t data3 = 0;
    std::array<std::uint8_t, 8> data4{};

    // Accepts "{...}" or the bare form; false on a malformed text.
    static bool parse(const std::string& text, Guid& out);
    static Guid fromBytes(const std::uint8_t* sixteenBytesLittleEndian);
    std::array<std::uint8_t, 16> toBytes() const;
    std::string toString() const; // "{00062004-0000-0000-C000-000000000046}"
    bool operator==(const Guid& o) const
    {
        return data1 == o.data1 && data2 == o.data2 && data3 == o.data3 && data4 == o.data4;
    }
    bool operator!=(const Guid& o) const { return !(*this == o); }
    bool operator<(const Guid& o) const;
};

// Well-known property sets.
Guid PSETID_Address();     // {00062004-0000-0000-C000-000000000046}
Guid PSETID_Appointment(); // {00062002-0000-0000-C000-000000000046}
Guid PSETID_Task();        // {00062003-0000-0000-C000-000000000046}
Guid PSETID_Common();      // {00062008-0000-0000-C000-000000000046}
Guid PS_PUBLIC_STRINGS();  // {00020329-0000-0000-C000-000000000046}
Guid PS_MAPI();            // {00020328-0000-0000-C000-000000000046}

// MAPINAMEID: a named property by (property set, numeric id) or (property set, string name).
struct NamedProp {
    enum class Kind { Id, String }; // MNID_ID, MNID_STRING
    Guid guid;
    Kind kind = Kind::Id;
    std::uint32_t id = 0;
    std::string name; // UTF-8

    static NamedProp byId(const Guid& g, std::uint32_t id) { return NamedProp{g, Kind::Id, id, {}}; }
    static NamedProp byName(const Guid& g, std::string n) { return NamedProp{g, Kind::String, 0, std::move(n)}; }
};

// IMAPITable. Rows are read in table order; a table does not change while it is read.
class Table {
public:
    Table() = default;
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;
    virtual ~Table() = default;

    // Columns of the following rows, in this order. Before the first call a table has a default
    // column set (back-end specific).
    [[nodiscard]] virtual HResult SetColumns(const std::vector<PropTag>& columns, std::uint32_t flags) = 0;
    // Up to rowCount rows from the current position; an empty set at the end. 0 on success.
    [[nodiscard]] virtual HResult QueryRows(std::int32_t rowCount, std::uint32_t flags, RowSet& rows) = 0;
    // Number of entries the table lists (an entry that turns out unreadable is then left out of
    // QueryRows' answers, so fewer rows may come).
    [[nodiscard]] virtual HResult GetRowCount(std::uint32_t flags, std::uint32_t& count) = 0;
    // Back to the first row (BOOKMARK_BEGINNING).
    [[nodiscard]] virtual HResult SeekToBeginning() = 0;
};

// IMAPIProp: anything that has properties.
class MapiProp {
public:
    MapiProp() = default;
    MapiProp(const MapiProp&) = delete;
    MapiProp& operator=(const MapiProp&) = delete;
    virtual ~MapiProp() = default;

    // MAPI_STORE, MAPI_FOLDER or MAPI_MESSAGE.
    virtual std::uint32_t objectType() const = 0;

    // One value per requested tag, in order; absent ones as PT_ERROR values. Returns 0 when all
    // were found, MAPI_W_ERRORS_RETURNED when some were not, a negative code on failure.
    [[nodiscard]] virtual HResult GetProps(const std::vector<PropTag>& tags, std::uint32_t flags,
                                           std::vector<PropValue>& values) = 0;

    // One tag per name, in order, with the type PT_UNSPECIFIED. A name the store does not know
    // yields PROP_TAG(PT_ERROR, 0) and the result MAPI_W_ERRORS_RETURNED, unless flags hold
    // MAPI_CREATE, which assigns a fresh id (one that no item carries yet). Any object of a store
    // resolves against the same store-wide map.
    [[nodiscard]] virtual HResult GetIDsFromNames(const std::vector<NamedProp>& names, std::uint32_t flags,
                                                  std::vector<PropTag>& tags) = 0;
};

class Message;

// IMAPIContainer / IMAPIFolder.
class Folder : public MapiProp {
public:
    std::uint32_t objectType() const override { return MAPI_FOLDER; }
    // Direct subfolders. Default columns: PR_DISPLAY_NAME_W, PR_ENTRYID.
    [[nodiscard]] virtual HResult GetHierarchyTable(std::uint32_t flags, std::unique_ptr<Table>& table) = 0;
    // The folder's messages. Default columns: PR_ENTRYID, PR_SUBJECT_W, PR_MESSAGE_CLASS_W.
    // A folder can hand out any number of contents tables, one after another or at once.
    [[nodiscard]] virtual HResult GetContentsTable(std::uint32_t flags, std::unique_ptr<Table>& table) = 0;
    // Opens a subfolder or a message of this store by entry id; objType receives MAPI_FOLDER or
    // MAPI_MESSAGE. Use objectCast<Folder>/objectCast<Message> on the result.
    [[nodiscard]] virtual HResult OpenEntry(const EntryId& entryId, std::uint32_t flags, std::uint32_t& objType,
                                            std::unique_ptr<MapiProp>& object) = 0;
};

// IMsgStore.
class MsgStore : public MapiProp {
public:
    std::uint32_t objectType() const override { return MAPI_STORE; }
    [[nodiscard]] virtual HResult OpenEntry(const EntryId& entryId, std::uint32_t flags, std::uint32_t& objType,
                                            std::unique_ptr<MapiProp>& object) = 0;
};

// What a MIME converter needs from a message besides its plain properties (subject, sender,
// dates, PR_TRANSPORT_MESSAGE_HEADERS_W and PR_INTERNET_MESSAGE_ID_W come through GetProps).
struct Recipient {
    std::int32_t type = MAPI_TO;  // MAPI_TO, MAPI_CC, MAPI_BCC (PR_RECIPIENT_TYPE)
    std::string displayName;      // PR_DISPLAY_NAME
    std::string addressType;      // PR_ADDRTYPE ("SMTP", "EX", ...)
    std::string emailAddress;     // PR_EMAIL_ADDRESS (for EX: the X.500 address)
    std::string smtpAddress;      // PR_SMTP_ADDRESS when present, else empty
};

struct MessageBodies {
    bool hasPlain = false;
    std::string plain;            // PR_BODY, UTF-8
    bool hasHtml = false;
    std::string html;             // PR_HTML, bytes as stored
    std::int32_t htmlCodePage = 0; // code page of html (PR_INTERNET_CPID or PR_MESSAGE_CODEPAGE); 0 unknown
    bool hasRtf = false;
    std::string rtf;              // PR_RTF_COMPRESSED, decompressed
};

struct AttachmentInfo {
    std::int32_t method = ATTACH_BY_VALUE; // ATTACH_BY_VALUE or ATTACH_EMBEDDED_MSG (others: as stored)
    std::string fileName;          // PR_ATTACH_LONG_FILENAME, else PR_ATTACH_FILENAME
    std::string shortFileName;     // PR_ATTACH_FILENAME (an 8.3 name in older stores)
    std::string displayName;       // PR_DISPLAY_NAME
    std::string mimeType;          // PR_ATTACH_MIME_TAG
    std::string contentId;         // PR_ATTACH_CONTENT_ID
    std::int32_t flags = 0;        // PR_ATTACH_FLAGS (4 = rendered in the body)
    bool hidden = false;           // PR_ATTACHMENT_HIDDEN
    bool hasData = false;          // data was read (a by-value file may still be empty)
    Bytes data;                    // PR_ATTACH_DATA_BIN for ATTACH_BY_VALUE
};

// IMessage.
class Message : public MapiProp {
public:
    std::uint32_t objectType() const override { return MAPI_MESSAGE; }
    [[nodiscard]] virtual HResult GetRecipients(std::vector<Recipient>& recipients) = 0;
    [[nodiscard]] virtual HResult GetBodies(MessageBodies& bodies) = 0;
    [[nodiscard]] virtual HResult GetAttachments(std::vector<AttachmentInfo>& attachments) = 0;
    // The message inside attachment `index` (of GetAttachments' list) when its method is
    // ATTACH_EMBEDDED_MSG.
    [[nodiscard]] virtual HResult OpenEmbeddedMessage(std::size_t index, std::unique_ptr<Message>& message) = 0;
};

// IMAPISession.
class Session {
public:
    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    virtual ~Session() = default;

    // The profile's stores; columns PR_DISPLAY_NAME_W, PR_ENTRYID by default.
    [[nodiscard]] virtual HResult GetMsgStoresTable(std::uint32_t flags, std::unique_ptr<Table>& table) = 0;
    [[nodiscard]] virtual HResult OpenMsgStore(std::uintptr_t uiParam, const EntryId& entryId, std::uint32_t flags,
                                               std::unique_ptr<MsgStore>& store) = 0;
    [[nodiscard]] virtual HResult Logoff(std::uintptr_t uiParam, std::uint32_t flags, std::uint32_t reserved) = 0;
};

// Downcast of an OpenEntry result; null (and the object released) when it is of another kind.
template <typename T>
std::unique_ptr<T> objectCast(std::unique_ptr<MapiProp> object)
{
    if (auto* p = dynamic_cast<T*>(object.get())) {
        object.release();
        return std::unique_ptr<T>(p);
    }
    return nullptr;
}

// ---- Session start and back-end selection ---------------------------------------------------

// The profile dialog: asked for the files of the profile when no environment variable names them.
// Returns the chosen .pst/.ost paths; an empty list means the user cancelled (the logon fails with
// MAPI_E_USER_CANCEL). Programs register a file dialog here; tests register a lambda.
using ProfileDialog = std::function<std::vector<std::string>()>;
void setProfileDialog(ProfileDialog dialog);

// A password-protected .pst keeps a checksum of its password in PR_PST_PASSWORD (0 or absent: no
// password): CRC-32 over the password's bytes with the standard table, starting at 0 and without
// the final inversion. The password itself is not needed to read the file; as Outlook does, a
// store is only opened once the user has given the password that matches.
std::uint32_t PasswordCrc(const std::string& bytes);
// True when `password` (UTF-8, as typed) matches `crc`: in UTF-8 or, for text that fits, in the
// single-byte code page that Outlook writes (Latin-1 range).
bool PasswordMatches(const std::string& password, std::uint32_t crc);

// Asked when a protected store is opened: `file` names it (its path; a store that is no file: its
// name), `attempt` counts from 1. Returns false when the user cancels; the store is then skipped.
// After the third wrong password the store is skipped too. Without a registered prompt a protected
// store is skipped. Programs register a dialog here; tests register a lambda.
constexpr int PasswordAttempts = 3;
using PasswordPrompt = std::function<bool(const std::string& file, int attempt, std::string& password)>;
void setPasswordPrompt(PasswordPrompt prompt);

// A file of the profile that cannot be used, and why.
struct StoreProblem {
    enum class Kind {
        Missing,        // no such file
        NoAccess,       // the file exists but may not be read
        NotOutlookData, // not a .pst/.ost file
        Damaged,        // an Outlook data file that cannot be read
        WrongPassword,  // protected, and the right password was not given
    };
    Kind kind = Kind::Damaged;
    std::string file;
    std::string detail; // the library's own words, for the log
};
// Told once per logon about every file that cannot be opened (`anyUsable`: whether the logon goes
// on with the other files), and once per protected store that stays closed after wrong passwords.
// Programs register a message box here; tests register a lambda.
using StoreProblemReport = std::function<void(const std::vector<StoreProblem>& problems, bool anyUsable)>;
void setStoreProblemReport(StoreProblemReport report);

// Diagnostic lines of the back-ends (unreadable files, skipped items). The default writes them to
// standard error; the outlook library routes them into the program's message log.
enum class LogLevel { Debug, Warning, Critical };
using LogSink = std::function<void(LogLevel, const std::string&)>;
void setLogSink(LogSink sink);
void log(LogLevel level, const std::string& text);

// MAPIInitialize / MAPIUninitialize: counted; every successful initialise needs one uninitialise.
[[nodiscard]] HResult MAPIInitialize();
void MAPIUninitialize();

// MAPILogonEx without profile name and password. Chooses the back-end:
//   1. KELVOR_STORE names a JSON fixture: memory back-end;
//   2. else KELVOR_PST lists .pst/.ost files separated by ':': file back-end;
//   3. else, with MAPI_LOGON_UI, the registered profile dialog chooses the files: file back-end.
// Fails with MAPI_E_NOT_INITIALIZED before MAPIInitialize, MAPI_E_USER_CANCEL when the dialog
// returns nothing, MAPI_E_LOGON_FAILED when no store of the profile can be read.
[[nodiscard]] HResult MAPILogonEx(std::uintptr_t uiParam, std::uint32_t flags, std::unique_ptr<Session>& session);

// Direct constructors of the back-ends (tests, tools).
[[nodiscard]] HResult logonMemoryFixture(const std::string& fixturePath, std::unique_ptr<Session>& session);
[[nodiscard]] HResult logonMemoryFixtureText(const std::string& json, std::unique_ptr<Session>& session);
[[nodiscard]] HResult logonPstFiles(const std::vector<std::string>& paths, std::unique_ptr<Session>& session);

// ---- HrGetOneProp / HrQueryAllRows ------------------------------------------------------------

// One property; MAPI_E_NOT_FOUND (and `value` untouched) when the object lacks it.
[[nodiscard]] HResult HrGetOneProp(MapiProp& object, PropTag tag, PropValue& value);
// Sets the columns and reads every row of the table at once.
[[nodiscard]] HResult HrQueryAllRows(Table& table, const std::vector<PropTag>& columns, RowSet& rows);

} // namespace xmapi
