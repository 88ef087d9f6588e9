// Recovery of a readable body from a message's RTF (PR_RTF_COMPRESSED, already decompressed).
//
// Mail clients store HTML and plain-text mail as RTF that encapsulates the original: with
// \fromhtml1 the HTML can be recovered tag for tag, with \fromtext the text. Other RTF (written
// by a word processor) is reduced to its text. No control word reaches the result.
#pragma once

#include <string>

struct RtfBody {
    enum class Kind { None, Html, Text };
    Kind kind = Kind::None; // None: the input is not RTF
    bool encapsulated = false; // recovered from \fromhtml1 / \fromtext rather than reduced
    std::string text;          // UTF-8
};

// Decodes `rtf`. 8-bit characters are read in the document's code page (\ansicpg, or the
// \fcharset of the current font), \uN escapes as Unicode.
RtfBody DecodeRtfBody(const std::string& rtf);
