#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// One tenant of the local test CRM (tools/testcrm), which the ctest fixture "TestCrm" starts once
// per run. Tests registered with the CRM option get its state folder in KELVOR_TESTCRM_STATE.
//
// Tenants isolate tests from each other (own database, users, fault switch and request log), so a
// tenant name must be unique per test: use "<TestClass>_<function>" (letters, digits, '_', '-',
// '.'). Constructing a TestCrm resets the tenant: empty store, no fault, only the default user.
//
//     TestCrm crm(QStringLiteral("TstImport_contacts"));
//     QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
//     settings.setValue("CRM_URL", crm.baseUrl());
//     ... run the import ...
//     QCOMPARE(crm.stored().value("contacts").toArray().size(), 2);
//
// The helper talks to the server over HTTP (its control entry point). Control calls that fail
// (server gone, bad tenant) record a test failure.
class TestCrm
{
public:
    explicit TestCrm(const QString& tenant);

    static constexpr const char* defaultLogin = "demo";
    static constexpr const char* defaultPassword = "demo";

    // The server answers and the tenant could be reset; check it with QVERIFY2(isUp(), errorString()).
    [[nodiscard]] bool isUp() const;
    [[nodiscard]] QString errorString() const;
    // "http://127.0.0.1:PORT/<tenant>/", with the trailing slash.
    [[nodiscard]] QString baseUrl() const;
    [[nodiscard]] QString tenant() const { return m_tenant; }

    // Adds a user or changes its password; UTF-8 credentials are fine.
    void addUser(const QString& login, const QString& password);
    // "" (none), "login_refused", "add_zero", "soap_fault", "html500", "garbage", "large", "slow",
    // "ws_before_return", "answer:<op>=<value>", "reject:<text>" (a request holding text gets a SOAP fault).
    // "<fault>:<op>" limits a fault to one operation,
    // ";" combines several (see tools/testcrm/README.md).
    void setFault(const QString& fault);

    // Everything stored, by kind: "pcontacts", "contacts", "persons", "tasks", "appointments",
    // "mailfolders", "mails"; each an array of objects: the received fields plus "id", "user" and
    // "_request" (id of the raw request in requests()).
    [[nodiscard]] QJsonObject stored() const;
    // Raw requests in order: [{ "id", "op" (service), "operation" (SOAP operation), "soapaction",
    // "path", "body" }, ...]; see tools/testcrm/README.md.
    [[nodiscard]] QJsonArray requests() const;
    // The last session id handed out (32 characters), empty when none.
    [[nodiscard]] QString sessionId() const;

private:
    bool control(const QString& command, const QStringList& args, QByteArray* output = nullptr) const;
    void fail(const QString& message) const;

    QString m_tenant;
    QString m_stateDir;
    quint16 m_port = 0;
    QString m_baseUrl;
    mutable QString m_error;
    bool m_resetOk = false;
};
