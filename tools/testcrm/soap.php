<?php
// SOAP endpoint of the local test CRM: PHP's SoapServer in non-WSDL mode answering the
// operations the importers send, plus the switchable faults used by the tests.

declare(strict_types=1);

require_once __DIR__ . '/lib.php';

const TESTCRM_ENVELOPE_NS = 'http://schemas.xmlsoap.org/soap/envelope/';
const TESTCRM_LARGE_PADDING = 210 * 1024;

// A fault switch is a list of entries separated by ";":
//   "<name>"               the fault hits every operation
//   "<name>:<operation>"   only that operation (e.g. "soap_fault:crmaddTask")
//   "answer:<op>=<value>"  that operation answers the literal value and does nothing else
function testcrm_parse_faults(string $faults_text): array
{
    $faults = [];
    foreach (explode(';', $faults_text) as $entry) {
        $entry = trim($entry);
        if ($entry === '') {
            continue;
        }
        if (strncmp($entry, 'answer:', 7) === 0) {
            $rest = substr($entry, 7);
            $eq = strpos($rest, '=');
            if ($eq === false) {
                continue;
            }
            $faults[] = ['name' => 'answer', 'op' => substr($rest, 0, $eq), 'value' => substr($rest, $eq + 1)];
            continue;
        }
        if (strncmp($entry, 'reject:', 7) === 0) {
            $faults[] = ['name' => 'reject', 'op' => null, 'value' => substr($entry, 7)];
            continue;
        }
        $colon = strpos($entry, ':');
        if ($colon === false) {
            $faults[] = ['name' => $entry, 'op' => null, 'value' => null];
        } else {
            $faults[] = ['name' => substr($entry, 0, $colon), 'op' => substr($entry, $colon + 1), 'value' => null];
        }
    }
    return $faults;
}

function testcrm_find_fault(array $faults, string $name, ?string $op): ?array
{
    foreach ($faults as $fault) {
        if ($fault['name'] === $name && ($fault['op'] === null || ($op !== null && strcasecmp($fault['op'], $op) === 0))) {
            return $fault;
        }
    }
    return null;
}

function testcrm_to_array(mixed $value): mixed
{
    if (is_object($value)) {
        $value = get_object_vars($value);
    }
    if (is_array($value)) {
        $out = [];
        foreach ($value as $key => $member) {
            $out[$key] = testcrm_to_array($member);
        }
        return $out;
    }
    return $value;
}

function testcrm_text(mixed $value): string
{
    if ($value === null || is_array($value) || is_object($value)) {
        return '';
    }
    if (is_bool($value)) {
        return $value ? '1' : '0';
    }
    return (string)$value;
}

final class TestCrmService
{
    private const ADDS = ['crmaddpcontact', 'crmaddcontact', 'crmaddperson', 'crmaddtask',
                          'crmaddappointment', 'crmaddtreeentry', 'crmimportmailsource'];

    public function __construct(private PDO $db, private array $faults, private int $requestId)
    {
    }

    // Fault switches that replace the operation's own answer; null when the operation runs.
    private function override(string $op): mixed
    {
        $answer = testcrm_find_fault($this->faults, 'answer', $op);
        if ($answer !== null) {
            $value = $answer['value'];
            return preg_match('/^-?[0-9]{1,18}$/', $value) === 1 ? (int)$value : $value;
        }
        if (in_array(strtolower($op), self::ADDS, true) && testcrm_find_fault($this->faults, 'add_zero', $op) !== null) {
            return 0;
        }
        return null;
    }

    // The user of a session id of this tenant, or null for an unknown session.
    private function sessionUser(mixed $sid): ?int
    {
        $sid = trim(testcrm_text($sid));
        if ($sid === '') {
            return null;
        }
        $stmt = $this->db->prepare('SELECT user_id FROM sessions WHERE sid = ?');
        $stmt->execute([$sid]);
        $user = $stmt->fetchColumn();
        return $user === false ? null : (int)$user;
    }

    // Stores one item unless an item of the same kind with the same duplicate key exists:
    // answers the new id, or -1 for a duplicate.
    private function store(string $kind, int $user, ?string $dupkey, array $fields): int
    {
        return testcrm_write($this->db, function (PDO $db) use ($kind, $user, $dupkey, $fields) {
            if ($dupkey !== null) {
                $stmt = $db->prepare('SELECT id FROM items WHERE kind = ? AND dupkey = ?');
                $stmt->execute([$kind, $dupkey]);
                if ($stmt->fetchColumn() !== false) {
                    return -1;
                }
            }
            $stmt = $db->prepare('INSERT INTO items (kind, user_id, dupkey, fields, request_id, created)
                                  VALUES (?, ?, ?, ?, ?, ?)');
            $stmt->execute([$kind, $user, $dupkey,
                            json_encode((object)$fields, JSON_UNESCAPED_UNICODE | JSON_PRESERVE_ZERO_FRACTION
                                                      | JSON_INVALID_UTF8_SUBSTITUTE),
                            $this->requestId, microtime(true)]);
            return (int)$db->lastInsertId();
        });
    }

    private function itemExists(string $kind, int $id, ?int $user = null): bool
    {
        $sql = 'SELECT 1 FROM items WHERE kind = ? AND id = ?' . ($user === null ? '' : ' AND user_id = ?');
        $stmt = $this->db->prepare($sql);
        $stmt->execute($user === null ? [$kind, $id] : [$kind, $id, $user]);
        return $stmt->fetchColumn() !== false;
    }

    private static function key(string ...$parts): string
    {
        return json_encode($parts, JSON_UNESCAPED_UNICODE);
    }

    public function crmLogin($login = null, $pass = null)
    {
        if (($o = $this->override('crmLogin')) !== null) {
            return $o;
        }
        if (testcrm_find_fault($this->faults, 'login_refused', 'crmLogin') !== null) {
            return 'error';
        }
        $stmt = $this->db->prepare('SELECT id FROM users WHERE login = ? AND password = ?');
        $stmt->execute([testcrm_text($login), testcrm_text($pass)]);
        $user = $stmt->fetchColumn();
        if ($user === false) {
            return 'error';
        }
        $sid = bin2hex(random_bytes(16));
        $this->db->prepare('INSERT INTO sessions (sid, user_id, created) VALUES (?, ?, ?)')
                 ->execute([$sid, (int)$user, microtime(true)]);
        return $sid;
    }

    public function crmPing($session_id = null)
    {
        if (($o = $this->override('crmPing')) !== null) {
            return $o;
        }
        return $this->sessionUser($session_id) === null ? 0 : 1;
    }

    public function crmgetVersion($session_id = null)
    {
        if (($o = $this->override('crmgetVersion')) !== null) {
            return $o;
        }
        return $this->sessionUser($session_id) === null ? 'error' : 'TestCRM 1.0';
    }

    public function crmgetDate($session_id = null)
    {
        if (($o = $this->override('crmgetDate')) !== null) {
            return $o;
        }
        return gmdate('Y-m-d H:i:s');
    }

    // Personal address book entry. Duplicate: same user, first name, last name and first e-mail
    // address (e-mail without regard to case); without all three, same display name.
    public function crmAddPContact($session_id = null, $PContactItem = null)
    {
        if (($o = $this->override('crmAddPContact')) !== null) {
            return $o;
        }
        $user = $this->sessionUser($session_id);
        if ($user === null) {
            return 0;
        }
        $fields = testcrm_to_array($PContactItem);
        $fields = is_array($fields) ? $fields : [];
        $first = testcrm_text($fields['firstname'] ?? null);
        $last = testcrm_text($fields['lastname'] ?? null);
        $mail = strtolower(trim(testcrm_text($fields['emailadr1'] ?? null)));
        $key = ($first === '' && $last === '' && $mail === '')
            ? self::key((string)$user, 'displayname', testcrm_text($fields['displayname'] ?? null))
            : self::key((string)$user, $first, $last, $mail);
        return $this->store('pcontacts', $user, $key, $fields);
    }

    // Company. Duplicate: same name (trimmed, letter case counts). Companies without a name are
    // never duplicates.
    public function crmaddContact($session_id = null, $crmContactItem = null)
    {
        if (($o = $this->override('crmaddContact')) !== null) {
            return $o;
        }
        $user = $this->sessionUser($session_id);
        if ($user === null) {
            return 0;
        }
        $fields = testcrm_to_array($crmContactItem);
        $fields = is_array($fields) ? $fields : [];
        $name = trim(testcrm_text($fields['company'] ?? null));
        return $this->store('contacts', $user, $name === '' ? null : self::key($name), $fields);
    }

    // Person of a company. The cid must name a stored company (else 0). Duplicate: same cid,
    // first name and last name.
    public function crmaddPerson($session_id = null, $crmPersonItem = null)
    {
        if (($o = $this->override('crmaddPerson')) !== null) {
            return $o;
        }
        $user = $this->sessionUser($session_id);
        if ($user === null) {
            return 0;
        }
        $fields = testcrm_to_array($crmPersonItem);
        $fields = is_array($fields) ? $fields : [];
        $cid = testcrm_text($fields['cid'] ?? null);
        if (preg_match('/^[0-9]+$/', $cid) !== 1 || !$this->itemExists('contacts', (int)$cid)) {
            return 0;
        }
        $key = self::key($cid, testcrm_text($fields['firstname'] ?? null), testcrm_text($fields['lastname'] ?? null));
        return $this->store('persons', $user, $key, $fields);
    }

    // Task. Duplicate: same subject and start.
    public function crmaddTask($session_id = null, $crmTaskItem = null)
    {
        if (($o = $this->override('crmaddTask')) !== null) {
            return $o;
        }
        $user = $this->sessionUser($session_id);
        if ($user === null) {
            return 0;
        }
        $fields = testcrm_to_array($crmTaskItem);
        $fields = is_array($fields) ? $fields : [];
        $key = self::key(testcrm_text($fields['subject'] ?? null), testcrm_text($fields['start'] ?? null));
        return $this->store('tasks', $user, $key, $fields);
    }

    // Appointment. Duplicate: same subject, start and stop.
    public function crmaddAppointment($session_id = null, $crmAppointmentItem = null)
    {
        if (($o = $this->override('crmaddAppointment')) !== null) {
            return $o;
        }
        $user = $this->sessionUser($session_id);
        if ($user === null) {
            return 0;
        }
        $fields = testcrm_to_array($crmAppointmentItem);
        $fields = is_array($fields) ? $fields : [];
        $key = self::key(testcrm_text($fields['subject'] ?? null), testcrm_text($fields['start'] ?? null),
                         testcrm_text($fields['stop'] ?? null));
        return $this->store('appointments', $user, $key, $fields);
    }

    private function inboxOf(int $user): int
    {
        $key = self::key((string)$user, 'inbox');
        $stmt = $this->db->prepare('SELECT id FROM items WHERE kind = \'mailfolders\' AND dupkey = ?');
        $stmt->execute([$key]);
        $id = $stmt->fetchColumn();
        if ($id !== false) {
            return (int)$id;
        }
        $id = $this->store('mailfolders', $user, $key, ['name' => 'Posteingang', 'parent' => 0, 'inbox' => true]);
        if ($id > 0) {
            return $id;
        }
        $stmt->execute([$key]);
        return (int)$stmt->fetchColumn();
    }

    // The user's inbox folder, created on first request.
    public function crmgetInboxFolder($session_id = null, $konto = null)
    {
        if (($o = $this->override('crmgetInboxFolder')) !== null) {
            return $o;
        }
        $user = $this->sessionUser($session_id);
        return $user === null ? 0 : $this->inboxOf($user);
    }

    // Mail folder below a folder of the user. No duplicate rule: every request creates a new
    // folder, also when one of that name exists under the same parent. Unknown parent or empty
    // name: 0.
    public function crmaddTreeEntry($session_id = null, $parent = null, $name = null)
    {
        if (($o = $this->override('crmaddTreeEntry')) !== null) {
            return $o;
        }
        $user = $this->sessionUser($session_id);
        if ($user === null) {
            return 0;
        }
        $parentText = trim(testcrm_text($parent));
        $nameText = testcrm_text($name);
        if ($nameText === '' || preg_match('/^[0-9]+$/', $parentText) !== 1
            || !$this->itemExists('mailfolders', (int)$parentText, $user)) {
            return 0;
        }
        return $this->store('mailfolders', $user, null, ['parent' => (int)$parentText, 'name' => $nameText]);
    }

    // One message as base64 of its MIME source, into a folder of the user. Duplicate: same
    // Message-ID, or without one the same source, for the same user. Unknown folder or a source
    // that is not base64: 0.
    public function crmImportMailSource($session_id = null, $tree_id = null, $source = null)
    {
        if (($o = $this->override('crmImportMailSource')) !== null) {
            return $o;
        }
        $user = $this->sessionUser($session_id);
        if ($user === null) {
            return 0;
        }
        $treeText = trim(testcrm_text($tree_id));
        if (preg_match('/^[0-9]+$/', $treeText) !== 1 || !$this->itemExists('mailfolders', (int)$treeText, $user)) {
            return 0;
        }
        $sourceText = testcrm_text($source);
        $mime = base64_decode(preg_replace('/\s+/', '', $sourceText), true);
        if ($mime === false || $mime === '') {
            return 0;
        }
        $headers = self::mailHeaders($mime);
        $fields = [
            'tree_id' => (int)$treeText,
            'message_id' => $headers['message-id'] ?? '',
            'subject' => $headers['subject'] ?? '',
            'from' => $headers['from'] ?? '',
            'to' => $headers['to'] ?? '',
            'date' => $headers['date'] ?? '',
            'size' => strlen($mime),
            'source' => $sourceText,
        ];
        $key = $fields['message_id'] !== ''
            ? self::key((string)$user, 'message-id', $fields['message_id'])
            : self::key((string)$user, 'source', sha1($mime));
        return $this->store('mails', $user, $key, $fields);
    }

    private static function mailHeaders(string $mime): array
    {
        $parts = preg_split('/\r?\n\r?\n/', $mime, 2);
        $decoded = @iconv_mime_decode_headers($parts[0] . "\r\n", ICONV_MIME_DECODE_CONTINUE_ON_ERROR, 'UTF-8');
        $headers = [];
        foreach (is_array($decoded) ? $decoded : [] as $name => $value) {
            $value = is_array($value) ? $value[0] : $value;
            $value = (string)$value;
            if (preg_match('//u', $value) !== 1) {
                $value = testcrm_latin1_to_utf8($value);
            }
            $headers[strtolower((string)$name)] = trim($value);
        }
        return $headers;
    }
}

function testcrm_latin1_to_utf8(string $value): string
{
    $converted = @iconv('ISO-8859-1', 'UTF-8', $value);
    return $converted === false ? '' : $converted;
}

function testcrm_send(int $status, string $contentType, string $body): void
{
    http_response_code($status);
    header('Content-Type: ' . $contentType);
    header('Content-Length: ' . strlen($body));
    echo $body;
}

function testcrm_fault_response(string $code, string $message): string
{
    return '<?xml version="1.0" encoding="UTF-8"?>' . "\n"
        . '<SOAP-ENV:Envelope xmlns:SOAP-ENV="' . TESTCRM_ENVELOPE_NS . '"><SOAP-ENV:Body><SOAP-ENV:Fault>'
        . '<faultcode>SOAP-ENV:' . $code . '</faultcode><faultstring>'
        . htmlspecialchars($message, ENT_XML1 | ENT_QUOTES, 'UTF-8')
        . '</faultstring></SOAP-ENV:Fault></SOAP-ENV:Body></SOAP-ENV:Envelope>' . "\n";
}

// The namespace the request declared for its operation element; the answer uses the same one.
function testcrm_operation_ns(string $body, string $service): string
{
    if (preg_match('/<(?:[A-Za-z_][\w.\-]*:)?Body\b[^>]*>\s*<([A-Za-z_][\w.\-]*):[A-Za-z_][\w.\-]*\s[^>]*xmlns:\1\s*=\s*"([^"]*)"/', $body, $m) === 1
        && $m[2] !== '') {
        return $m[2];
    }
    return 'urn:crm' . ($service === '' ? 'soap' : $service);
}

function testcrm_handle_soap(string $tenant, string $path): void
{
    $body = (string)file_get_contents('php://input');
    $service = isset($_GET['op']) ? (string)$_GET['op'] : '';
    $soapaction = $_SERVER['HTTP_SOAPACTION'] ?? null;

    $db = testcrm_db($tenant);
    $stmt = $db->prepare('INSERT INTO requests (op, soapaction, path, body, received) VALUES (?, ?, ?, ?, ?)');
    $stmt->bindValue(1, $service);
    $stmt->bindValue(2, $soapaction);
    $stmt->bindValue(3, $path);
    $stmt->bindValue(4, $body, PDO::PARAM_LOB);
    $stmt->bindValue(5, microtime(true));
    $stmt->execute();
    $requestId = (int)$db->lastInsertId();

    if (($_SERVER['REQUEST_METHOD'] ?? 'GET') !== 'POST') {
        testcrm_send(405, 'text/plain; charset=utf-8', "Nur POST-Anfragen werden angenommen.\n");
        return;
    }

    $faults = testcrm_parse_faults(testcrm_fault($db));
    $operation = testcrm_operation_of($body);

    if (testcrm_find_fault($faults, 'html500', $operation) !== null) {
        testcrm_send(500, 'text/html; charset=utf-8',
            "<!DOCTYPE html>\n<html><head><title>500 Interner Serverfehler</title></head>\n"
            . "<body><h1>Interner Serverfehler</h1><p>Der Server konnte die Anfrage nicht bearbeiten.</p></body></html>\n");
        return;
    }
    if (testcrm_find_fault($faults, 'garbage', $operation) !== null) {
        testcrm_send(200, 'text/plain; charset=utf-8', "#&%!? Dies ist keine XML-Antwort <<<\n\x01\x02 crm garbage\n");
        return;
    }
    if (testcrm_find_fault($faults, 'soap_fault', $operation) !== null) {
        testcrm_send(500, 'text/xml; charset=utf-8', testcrm_fault_response('Server', 'Interner Fehler des CRM-Servers'));
        return;
    }
    foreach ($faults as $fault) {
        if ($fault['name'] === 'reject' && $fault['value'] !== '' && str_contains($body, $fault['value'])) {
            testcrm_send(500, 'text/xml; charset=utf-8', testcrm_fault_response('Server', 'Eintrag abgelehnt'));
            return;
        }
    }

    if (preg_match('//u', $body) !== 1) {
        testcrm_send(500, 'text/xml; charset=utf-8', testcrm_fault_response('Client', 'Request is not valid UTF-8'));
        return;
    }
    $previous = libxml_use_internal_errors(true);
    $doc = new DOMDocument();
    $wellFormed = $body !== '' && $doc->loadXML($body, LIBXML_NONET);
    $errors = libxml_get_errors();
    libxml_clear_errors();
    libxml_use_internal_errors($previous);
    if (!$wellFormed || $errors !== []) {
        $message = $errors !== [] ? trim($errors[0]->message) : 'empty request';
        testcrm_send(500, 'text/xml; charset=utf-8', testcrm_fault_response('Client', 'Bad Request: ' . $message));
        return;
    }

    if (testcrm_find_fault($faults, 'slow', $operation) !== null) {
        usleep(2000000);
    }

    $server = new SoapServer(null, [
        'uri' => testcrm_operation_ns($body, $service),
        'encoding' => 'UTF-8',
        'soap_version' => SOAP_1_1,
    ]);
    $server->setObject(new TestCrmService($db, $faults, $requestId));
    ob_start();
    $server->handle($body);
    $response = (string)ob_get_clean();

    if (testcrm_find_fault($faults, 'ws_before_return', $operation) !== null) {
        $response = preg_replace('/(<(?:[\w.\-]+:)?\w+Response(?:\s[^>]*)?>)(<return\b)/', "$1\n    $2", $response, 1);
    }
    if (testcrm_find_fault($faults, 'large', $operation) !== null) {
        $padding = '<!-- ' . str_repeat('Fuelltext des Test-CRM ', intdiv(TESTCRM_LARGE_PADDING, 23) + 1) . '-->';
        $count = 0;
        $response = preg_replace('/(<\/(?:[\w.\-]+:)?\w+Response>)/', '$1' . $padding, $response, 1, $count);
        if ($count === 0) {
            $response .= $padding . "\n";
        }
    }
    header_remove('Content-Length');
    header('Content-Length: ' . strlen($response));
    echo $response;
}
