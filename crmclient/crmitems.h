// Request records of the CRM operations. Plain values owned by the caller; ExSoapCall only reads
// them while it builds a request (crmaddTask also normalises the dates of its record).
//
// Text fields hold Unicode text; the request builders escape every text value and the request
// reaches the wire as UTF-8. Numeric fields that are "not set" carry negative sentinels (the
// constructed values below) and are left out of the request.
#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

// One entry of the user's personal address book (crmAddPContact / crmChangePContact).
struct PContactItem {
    qint32 contact_id = 0; // CRM id of the entry, used by crmChangePContact only

    QString firstname;
    QString lastname;
    QString emailadr1, emailadr2, emailadr3;
    QString phone_work, phone_work2, phone_home, phone_home2, phone_fax, phone_fax_work, phone_pager, phone_mobil;
    QString home_address1, home_address2, home_city, home_region, home_postcode, home_country;
    QString work_title, work_department, work_organisation, work_address1, work_address2, work_city, work_region,
        work_postcode, work_country, work_location, work_website;
    QString other_address1, other_city, other_region, other_postcode, other_country;
    QString notes;
    QString picture;
    QString screen_name, nickname;
    qint32 birthday = 0;    // CRM time; sent when > 0
    qint32 anniversary = 0; // CRM time; sent when > 0
    QString spousename, managername, assistantname, customer_id, gov_id, accountname;
    QString custom1, custom2, custom3, custom4;
    QString displayname; // when empty: "<lastname>,<firstname>" if both are set

    // Filled from Outlook and logged by the importer, but no request carries them.
    QString middle_name, childrens, phone_car, phone_radio, phone_company, phone_assistant, home_page;
};

// A CRM company (crmaddContact). Every field is sent only when not empty (userid: when >= 1).
struct crmContactItem {
    QString company; // sent trimmed
    QString department, street, postcode, city, email, phone, fax, region, country;
    QString acc_holder, acc_nr, bankcode, bankname, swift, iban;
    QString branch, category, code, notes, number, superior, type;
    qint32 userid = 0;
    QString ustnr, website;
};

// A person of a CRM company (crmaddPerson). cid is always sent; birthday when >= 1.
struct crmPersonItem {
    qint32 cid = 0; // id of the person's company
    QString salutation, firstname, lastname;
    qint32 birthday = 0;
    QString city, country, email, fax, mobile, notes, number, phone, position, postcode, region, street, type;
};

struct crmTaskItemContact {
    QString firstname;
    QString lastname;
};

// One task (crmaddTask, and the list operations crmaddTasks / crmchangeTasks).
struct crmTaskItem {
    qint32 id = -1;    // only crmchangeTasks sends it
    qint32 start = -1; // CRM time
    qint32 stop = -1;  // CRM time (due date)
    QString subject;
    QString body;
    qint32 privat = -2;
    qint32 priority = -2; // -1 (low) is sent, -2 means not set
    qint32 done = -1;     // percent
    qint32 status = -1;
    qint32 confirmed = -2;
    qint32 serie = -1;
    qint32 intrval = -1;
    qint32 serieend = -1;
    double achieved = -1.0;     // hours; sent when > -1
    double planned = -1.0;      // hours; sent when > -1
    qint32 rem = -2;            // reminder flag 0/1
    qint32 remember = -1;       // reminder time
    double obligingness = -1.0; // only crmaddTasks sends it
    QString category;
    QList<crmTaskItemContact> contacts;
};

struct crmAppointmentItemContact {
    QString cid, displayname, firstname, lastname, emailadr1, work_organisation;
};

// One appointment (crmaddAppointment, and the list operation crmchangeAppointments).
// start, stop, serieend and remember are sent as unsigned 32-bit numbers (-1 prints 4294967295).
struct crmAppointmentItem {
    qint32 start = -1;
    qint32 stop = 0; // sent when not 0
    QString subject;
    QString body;
    QString cid;
    QString userid;
    qint32 confirmed = 1;
    qint32 pid = -1;
    qint32 day = -1; // all-day flag 0/1
    qint32 rem = -1;
    QString city;
    qint32 status = -1;
    qint32 privat = -1;
    qint32 done = -1;
    qint32 serie = -1;
    qint32 intrval = -1;
    qint32 serieend = -1;
    QString category;
    qint32 remember = -1; // sent when not 0
    QList<crmAppointmentItemContact> contacts;
    qint32 id = -1; // only crmchangeAppointments sends it
};

// One entry of crmChangeMailItems.
struct ChangeMailItemsElement {
    qint32 id = 0;        // CRM mail id; sent when > 0
    qint32 folder = 0;    // target CRM folder id; sent when > 0
    qint32 was_read = -1; // read flag; sent when >= 0
};
