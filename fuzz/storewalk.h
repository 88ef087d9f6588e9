// Reads everything a store offers through the store interface, as the importers and the e-mail
// converter would: stores, folder tree, contents tables, named properties, messages with their
// recipients, bodies, attachments and embedded messages. Bounded in depth and rows.
#pragma once

#include "xmapi.h"

#include <functional>
#include <memory>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace fuzzwalk
{

constexpr int maxDepth = 16;
constexpr std::size_t maxRows = 256;

inline void readMessage(xmapi::Message& message, int depth)
{
    std::vector<xmapi::PropValue> values;
    (void)message.GetProps({PR_SUBJECT_W, PR_BODY_W, PR_MESSAGE_CLASS_W, PR_MESSAGE_DELIVERY_TIME, PR_SENDER_NAME_W,
                            PR_SENDER_EMAIL_ADDRESS_W, PR_DISPLAY_TO_W, PR_INTERNET_MESSAGE_ID_W,
                            PR_TRANSPORT_MESSAGE_HEADERS_W, PR_MESSAGE_CODEPAGE, PR_INTERNET_CPID, PR_MESSAGE_FLAGS},
                           0, values);
    std::vector<xmapi::PropTag> named;
    if (!xmapi::failed(message.GetIDsFromNames({xmapi::NamedProp::byId(xmapi::PSETID_Address(), 0x8083),
                                                xmapi::NamedProp::byId(xmapi::PSETID_Task(), 0x8104),
                                                xmapi::NamedProp::byId(xmapi::PSETID_Appointment(), 0x820D),
                                                xmapi::NamedProp::byName(xmapi::PS_PUBLIC_STRINGS(), "Keywords")},
                                               0, named))) {
        std::vector<xmapi::PropTag> present;
        for (xmapi::PropTag tag : named)
            if (PROP_ID(tag) != 0)
                present.push_back(tag);
        if (!present.empty())
            (void)message.GetProps(present, 0, values);
    }
    std::vector<xmapi::Recipient> recipients;
    (void)message.GetRecipients(recipients);
    xmapi::MessageBodies bodies;
    (void)message.GetBodies(bodies);
    std::vector<xmapi::AttachmentInfo> attachments;
    if (xmapi::failed(message.GetAttachments(attachments)) || depth >= maxDepth)
        return;
    for (std::size_t i = 0; i < attachments.size() && i < maxRows; ++i) {
        if (attachments[i].method != ATTACH_EMBEDDED_MSG)
            continue;
        std::unique_ptr<xmapi::Message> inner;
        if (!xmapi::failed(message.OpenEmbeddedMessage(i, inner)) && inner)
            readMessage(*inner, depth + 1);
    }
}

inline xmapi::RowSet rowsOf(xmapi::Folder& folder, bool hierarchy, const std::vector<xmapi::PropTag>& columns)
{
    std::unique_ptr<xmapi::Table> table;
    xmapi::RowSet rows;
    const xmapi::HResult hr =
        hierarchy ? folder.GetHierarchyTable(MAPI_UNICODE, table) : folder.GetContentsTable(MAPI_UNICODE, table);
    if (xmapi::failed(hr) || !table || xmapi::failed(table->SetColumns(columns, 0)))
        return rows;
    std::uint32_t count = 0;
    (void)table->GetRowCount(0, count);
    while (rows.size() < maxRows) {
        xmapi::RowSet batch;
        if (xmapi::failed(table->QueryRows(16, 0, batch)) || batch.empty())
            break;
        for (auto& row : batch)
            rows.push_back(std::move(row));
    }
    return rows;
}

// What is done with each message of a folder (default: read it all, readMessage).
using MessageUse = std::function<void(xmapi::Message&)>;

inline void walkFolder(xmapi::Folder& folder, int depth, const MessageUse& use)
{
    for (const auto& row : rowsOf(folder, false, {PR_ENTRYID, PR_SUBJECT_W, PR_MESSAGE_CLASS_W, PR_MESSAGE_SIZE})) {
        if (row.empty() || row[0].tag != PR_ENTRYID)
            continue;
        std::uint32_t type = 0;
        std::unique_ptr<xmapi::MapiProp> object;
        if (xmapi::failed(folder.OpenEntry(row[0].bin, 0, type, object)))
            continue;
        if (auto message = xmapi::objectCast<xmapi::Message>(std::move(object))) {
            if (use)
                use(*message);
            else
                readMessage(*message, 0);
        }
    }
    if (depth >= maxDepth)
        return;
    for (const auto& row :
         rowsOf(folder, true, {PR_DISPLAY_NAME_W, PR_ENTRYID, PR_CONTAINER_CLASS_W, PR_CONTENT_COUNT})) {
        if (row.size() < 2 || row[1].tag != PR_ENTRYID)
            continue;
        std::uint32_t type = 0;
        std::unique_ptr<xmapi::MapiProp> object;
        if (xmapi::failed(folder.OpenEntry(row[1].bin, 0, type, object)))
            continue;
        if (auto child = xmapi::objectCast<xmapi::Folder>(std::move(object)))
            walkFolder(*child, depth + 1, use);
    }
}

inline void walkSession(xmapi::Session& session, const MessageUse& use = {})
{
    std::unique_ptr<xmapi::Table> stores;
    if (xmapi::failed(session.GetMsgStoresTable(0, stores)) || !stores)
        return;
    xmapi::RowSet rows;
    if (xmapi::HrQueryAllRows(*stores, {PR_DISPLAY_NAME_W, PR_ENTRYID}, rows) != S_OK)
        return;
    for (const auto& row : rows) {
        if (row.size() < 2 || row[1].tag != PR_ENTRYID)
            continue;
        std::unique_ptr<xmapi::MsgStore> store;
        if (xmapi::failed(session.OpenMsgStore(0, row[1].bin, MAPI_BEST_ACCESS, store)) || !store)
            continue;
        xmapi::PropValue top;
        if (xmapi::failed(xmapi::HrGetOneProp(*store, PR_IPM_SUBTREE_ENTRYID, top)))
            continue;
        std::uint32_t type = 0;
        std::unique_ptr<xmapi::MapiProp> object;
        if (xmapi::failed(store->OpenEntry(top.bin, 0, type, object)))
            continue;
        if (auto folder = xmapi::objectCast<xmapi::Folder>(std::move(object)))
            walkFolder(*folder, 0, use);
    }
    (void)session.Logoff(0, 0, 0);
}

// The fuzzer's bytes as a .pst/.ost file: an in-memory file (memfd), opened through its /proc path
// like any profile file, and walked completely.
inline void walkPstBytes(const std::uint8_t* data, std::size_t size, const MessageUse& use = {})
{
    const int fd = memfd_create("fuzz.pst", MFD_CLOEXEC);
    if (fd < 0)
        return;
    std::size_t written = 0;
    while (written < size) {
        const ssize_t n = ::write(fd, data + written, size - written);
        if (n <= 0)
            break;
        written += std::size_t(n);
    }
    if (written == size) {
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        std::unique_ptr<xmapi::Session> session;
        if (!xmapi::failed(xmapi::logonPstFiles({path}, session)) && session)
            walkSession(*session, use);
    }
    ::close(fd);
}

} // namespace fuzzwalk
