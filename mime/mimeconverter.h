// Message-to-MIME conversion: one message of the store interface becomes its Internet-format
// source (RFC 5322 headers, MIME body, base64 parts), built with GMime. No widgets; usable from any
// thread (each call works on its own objects).
//
// What the output holds:
//  - headers: the message's original transport headers when it carries them (received mail), with
//    their old Content-* and MIME-Version lines dropped; otherwise headers made from the properties
//    (From/Sender with real SMTP addresses, To, Cc, Bcc, Subject, Date, Message-ID, In-Reply-To,
//    References, Reply-To, importance). Non-ASCII text as RFC 2047 UTF-8 encoded words.
//  - bodies: plain text and HTML (multipart/alternative when both exist) in UTF-8; a body that
//    exists only as RTF is recovered from it (encapsulated HTML or text, else the RTF's text).
//  - attachments: every attachment with data, with its file name and MIME type; inline images
//    that the HTML references by content id travel with it in multipart/related; embedded
//    messages as message/rfc822 parts, converted the same way.
//  - every part base64, lines end in CRLF.
#pragma once

#include "xmapi.h"

#include <QByteArray>
#include <QDateTime>

#include <cstdint>

// Converts `message`; `output` is cleared first and then holds the MIME source. Returns 0 or more
// when the message was converted, a negative result code (the store's, or E_FAIL) when it was not;
// the reason is in the diagnostic log. Attachments without data are left out (logged); the rest
// of the message still converts.
[[nodiscard]] std::int32_t ConvertMessageToMime(xmapi::Message& message, QByteArray& output);

// "Date: " + the RFC 5322 date of `t` in the local time zone with that zone's true offset at that
// moment, ending in a single line feed: "Date: Mon, 04 Mar 2013 13:30:05 +0100\n".
// An invalid `t` gives "Date: " alone (no date known).
QByteArray MakeDateHeader(const QDateTime& t);

// Seconds since 1970-01-01 00:00 UTC of a FILETIME (PR_MESSAGE_DELIVERY_TIME). 0 for a FILETIME
// of 0 (no time).
std::int64_t DeliveryTimeToTime(const xmapi::FileTime& ft);

// The Date text of a message for the repair below: MakeDateHeader of its delivery time, or
// "Date: " alone when it has none (ft.ticks == 0).
QByteArray DateHeaderOfDeliveryTime(const xmapi::FileTime& ft);

// Date repair of a converted source: when its header block has no Date header, `dateHeader` (a
// MakeDateHeader text) is inserted as the line before the Message-ID header (found as "Message-ID:"
// or "Message-Id:", any case), with the line ending that the source uses. Nothing is inserted when
// the source has no Message-ID header or `dateHeader` carries no date ("Date: " alone).
// Returns true when a line was inserted.
bool RepairDateHeader(QByteArray& mime, const QByteArray& dateHeader);
