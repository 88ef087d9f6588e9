#pragma once

// Turns one row of a contacts folder (the 48 columns of ContactColumns) into the CRM request records:
// a personal address-book entry, or a company and its person. Every field logs its label and stored value,
// or its failure text when the contact lacks it. No widgets, no network: a plain class.

#include "crmitems.h"
#include "xmapi.h"

#include <QString>

#include <vector>

class ContactMapping {
public:
    // namedTags: the resolved named properties (e-mail 1, e-mail 2, e-mail 3, instant messaging).
    explicit ContactMapping(std::vector<xmapi::PropTag> namedTags);

    // The columns to set on a contents table, in row order.
    [[nodiscard]] const std::vector<xmapi::PropTag>& columns() const { return m_columns; }

    [[nodiscard]] PContactItem personalContact(const xmapi::Row& row) const;
    [[nodiscard]] crmContactItem company(const xmapi::Row& row) const;
    // cid stays 0: the run sets it to the id of the person's company.
    [[nodiscard]] crmPersonItem person(const xmapi::Row& row) const;

    // The row's company name, trimmed; empty when the contact has none.
    [[nodiscard]] QString companyName(const xmapi::Row& row) const;

    // Birthday as sent: CRM time + 3600; 0 (not sent) when the time is out of range.
    [[nodiscard]] static qint32 birthdayOf(const xmapi::FileTime& ft);
    // Anniversary as sent: CRM time; -1 (not sent) when out of range.
    [[nodiscard]] static qint32 anniversaryOf(const xmapi::FileTime& ft);

private:
    std::vector<xmapi::PropTag> m_columns;
};
