<?php
// Local test CRM: storage shared by the SOAP endpoint, the HTML page and the control command.
// One SQLite database per tenant in <state>/tenants/<tenant>.sqlite.

declare(strict_types=1);

const TESTCRM_KINDS = ['pcontacts', 'contacts', 'persons', 'tasks', 'appointments', 'mailfolders', 'mails'];
const TESTCRM_DEFAULT_LOGIN = 'demo';
const TESTCRM_DEFAULT_PASSWORD = 'demo';

function testcrm_state_dir(): string
{
    $dir = getenv('TESTCRM_STATE');
    if ($dir === false || $dir === '') {
        throw new RuntimeException('TESTCRM_STATE is not set');
    }
    return $dir;
}

function testcrm_valid_tenant(string $tenant): bool
{
    return preg_match('/^[A-Za-z0-9][A-Za-z0-9_.\-]{0,127}$/', $tenant) === 1 && strpos($tenant, '..') === false;
}

function testcrm_tenant_file(string $tenant): string
{
    if (!testcrm_valid_tenant($tenant)) {
        throw new InvalidArgumentException("invalid tenant name: $tenant");
    }
    return testcrm_state_dir() . '/tenants/' . $tenant . '.sqlite';
}

function testcrm_tenants(): array
{
    $names = [];
    foreach (glob(testcrm_state_dir() . '/tenants/*.sqlite') ?: [] as $file) {
        $names[] = basename($file, '.sqlite');
    }
    sort($names);
    return $names;
}

// The tenant's database (created on first use). Several server workers and the control command
// may use one database at the same time: WAL mode plus a generous busy timeout.
//
// A server worker keeps its connection to each tenant's database open from one request to the
// next (a persistent PDO handle): opening SQLite, setting it up and closing it again (which
// checkpoints the WAL file) for every request cost more than the request itself. The schema is
// created once per database file and marked with user_version.
const TESTCRM_SCHEMA_VERSION = 1;

function testcrm_db(string $tenant): PDO
{
    static $open = [];
    if (isset($open[$tenant])) {
        return $open[$tenant];
    }
    $file = testcrm_tenant_file($tenant);
    $dir = dirname($file);
    if (!is_dir($dir)) {
        @mkdir($dir, 0777, true);
    }
    $db = new PDO('sqlite:' . $file, null, null, [
        PDO::ATTR_ERRMODE => PDO::ERRMODE_EXCEPTION,
        PDO::ATTR_DEFAULT_FETCH_MODE => PDO::FETCH_ASSOC,
        PDO::ATTR_TIMEOUT => 30,
        PDO::ATTR_PERSISTENT => PHP_SAPI !== 'cli',
    ]);
    if ((int)$db->query('PRAGMA user_version')->fetchColumn() !== TESTCRM_SCHEMA_VERSION) {
        testcrm_create_schema($db);
    }
    // Connection settings, not stored in the file. A commit in WAL mode with synchronous=NORMAL
    // does not wait for the disk (the default, FULL, syncs on every commit).
    $db->exec('PRAGMA busy_timeout = 30000');
    $db->exec('PRAGMA synchronous = NORMAL');
    $open[$tenant] = $db;
    return $db;
}

function testcrm_create_schema(PDO $db): void
{
    $db->exec('PRAGMA busy_timeout = 30000');
    $db->exec('PRAGMA journal_mode = WAL');
    $db->exec('CREATE TABLE IF NOT EXISTS users (
                   id INTEGER PRIMARY KEY AUTOINCREMENT,
                   login TEXT NOT NULL UNIQUE,
                   password TEXT NOT NULL)');
    $db->exec('CREATE TABLE IF NOT EXISTS sessions (
                   sid TEXT PRIMARY KEY,
                   user_id INTEGER NOT NULL,
                   created REAL NOT NULL)');
    $db->exec('CREATE TABLE IF NOT EXISTS settings (key TEXT PRIMARY KEY, value TEXT NOT NULL)');
    $db->exec('CREATE TABLE IF NOT EXISTS requests (
                   id INTEGER PRIMARY KEY AUTOINCREMENT,
                   op TEXT NOT NULL,
                   soapaction TEXT,
                   path TEXT,
                   body BLOB NOT NULL,
                   received REAL NOT NULL)');
    $db->exec('CREATE TABLE IF NOT EXISTS items (
                   id INTEGER PRIMARY KEY AUTOINCREMENT,
                   kind TEXT NOT NULL,
                   user_id INTEGER NOT NULL,
                   dupkey TEXT,
                   fields TEXT NOT NULL,
                   request_id INTEGER,
                   created REAL NOT NULL)');
    $db->exec('CREATE INDEX IF NOT EXISTS items_dup ON items (kind, dupkey)');
    $stmt = $db->prepare('INSERT OR IGNORE INTO users (login, password) VALUES (?, ?)');
    $stmt->execute([TESTCRM_DEFAULT_LOGIN, TESTCRM_DEFAULT_PASSWORD]);
    $db->exec('PRAGMA user_version = ' . TESTCRM_SCHEMA_VERSION);
}

// Runs $fn inside a write transaction taken at once, so that a duplicate check and the insert
// that follows it cannot interleave with another worker. The connection outlives the request:
// should the script die inside the transaction (time limit, fatal error), the shutdown handler
// rolls it back so that the kept connection does not hold the write lock for ever.
function testcrm_write(PDO $db, callable $fn)
{
    static $pending = null;
    static $guarded = false;
    if (!$guarded) {
        $guarded = true;
        register_shutdown_function(function () use (&$pending) {
            if ($pending !== null) {
                try {
                    $pending->exec('ROLLBACK');
                } catch (Throwable $e) {
                }
            }
        });
    }
    $db->exec('BEGIN IMMEDIATE');
    $pending = $db;
    try {
        $result = $fn($db);
        $db->exec('COMMIT');
        $pending = null;
        return $result;
    } catch (Throwable $e) {
        $pending = null;
        $db->exec('ROLLBACK');
        throw $e;
    }
}

function testcrm_reset(string $tenant): void
{
    $db = testcrm_db($tenant);
    testcrm_write($db, function (PDO $db) {
        foreach (['users', 'sessions', 'settings', 'requests', 'items'] as $table) {
            $db->exec("DELETE FROM $table");
        }
        $db->exec("DELETE FROM sqlite_sequence");
        $stmt = $db->prepare('INSERT INTO users (login, password) VALUES (?, ?)');
        $stmt->execute([TESTCRM_DEFAULT_LOGIN, TESTCRM_DEFAULT_PASSWORD]);
    });
}

function testcrm_add_user(string $tenant, string $login, string $password): void
{
    $db = testcrm_db($tenant);
    $stmt = $db->prepare('INSERT INTO users (login, password) VALUES (?, ?)
                          ON CONFLICT(login) DO UPDATE SET password = excluded.password');
    $stmt->execute([$login, $password]);
}

function testcrm_set_fault(string $tenant, string $fault): void
{
    $db = testcrm_db($tenant);
    $db->prepare('INSERT OR REPLACE INTO settings (key, value) VALUES (\'fault\', ?)')->execute([$fault]);
}

function testcrm_fault(PDO $db): string
{
    $stmt = $db->query('SELECT value FROM settings WHERE key = \'fault\'');
    $value = $stmt->fetchColumn();
    return $value === false ? '' : (string)$value;
}

function testcrm_last_session(string $tenant): string
{
    $db = testcrm_db($tenant);
    $sid = $db->query('SELECT sid FROM sessions ORDER BY rowid DESC LIMIT 1')->fetchColumn();
    return $sid === false ? '' : (string)$sid;
}

// Everything stored, by kind: each item is its received fields plus "id" (the id the server
// answered), "user" (login of the session that stored it) and "_request" (id of the raw request).
function testcrm_stored(string $tenant): array
{
    $db = testcrm_db($tenant);
    $result = [];
    foreach (TESTCRM_KINDS as $kind) {
        $result[$kind] = [];
    }
    $rows = $db->query('SELECT items.id, items.kind, items.fields, items.request_id, users.login
                        FROM items LEFT JOIN users ON users.id = items.user_id ORDER BY items.id');
    foreach ($rows as $row) {
        $fields = json_decode($row['fields'], true);
        $item = ['id' => (int)$row['id'], 'user' => $row['login']];
        foreach ($fields as $name => $value) {
            $item[$name] = $value;
        }
        $item['_request'] = $row['request_id'] === null ? null : (int)$row['request_id'];
        $result[$row['kind']][] = $item;
    }
    return $result;
}

// The raw requests in the order received; "operation" is the element the envelope's Body starts with. A body that is not valid UTF-8 is shown with
// replacement characters in "body" and given exactly in "body_base64".
function testcrm_requests(string $tenant): array
{
    $db = testcrm_db($tenant);
    $result = [];
    foreach ($db->query('SELECT id, op, soapaction, path, body FROM requests ORDER BY id') as $row) {
        $body = (string)$row['body'];
        $entry = [
            'id' => (int)$row['id'],
            'op' => $row['op'],
            'operation' => testcrm_operation_of($body),
            'soapaction' => $row['soapaction'],
            'path' => $row['path'],
            'body' => $body,
        ];
        if (preg_match('//u', $body) !== 1) {
            $entry['invalid_utf8'] = true;
            $entry['body_base64'] = base64_encode($body);
        }
        $result[] = $entry;
    }
    return $result;
}

// The operation named by the first element inside the envelope's Body, or null.
function testcrm_operation_of(string $body): ?string
{
    if (preg_match('/<(?:[A-Za-z_][\w.\-]*:)?Body\b[^>]*>\s*<(?:[A-Za-z_][\w.\-]*:)?([A-Za-z_][\w.\-]*)([^>]*)>/', $body, $m) === 1) {
        return $m[1];
    }
    return null;
}

function testcrm_json(mixed $value): string
{
    return json_encode($value, JSON_PRETTY_PRINT | JSON_UNESCAPED_UNICODE | JSON_UNESCAPED_SLASHES
                               | JSON_INVALID_UTF8_SUBSTITUTE | JSON_PRESERVE_ZERO_FRACTION) . "\n";
}

// One control command on a tenant, as the "testcrm" script and the helper's HTTP control use
// it; answers the command's output text. Throws InvalidArgumentException on bad use.
function testcrm_control(string $command, string $tenant, array $args): string
{
    if (!testcrm_valid_tenant($tenant)) {
        throw new InvalidArgumentException("invalid tenant name '$tenant' (letters, digits, '_', '-', '.')");
    }
    $args = array_values(array_map('strval', $args));
    switch ($command) {
        case 'reset':
            testcrm_reset($tenant);
            return '';
        case 'adduser':
            if (count($args) !== 2) {
                throw new InvalidArgumentException('usage: adduser <tenant> <login> <password>');
            }
            testcrm_add_user($tenant, $args[0], $args[1]);
            return '';
        case 'fault':
            if (count($args) > 1) {
                throw new InvalidArgumentException('usage: fault <tenant> <fault>');
            }
            testcrm_set_fault($tenant, $args[0] ?? '');
            return '';
        case 'dump':
            return testcrm_json(testcrm_stored($tenant));
        case 'requests':
            return testcrm_json(testcrm_requests($tenant));
        case 'session':
            return testcrm_last_session($tenant) . "\n";
    }
    throw new InvalidArgumentException("unknown command '$command'");
}
