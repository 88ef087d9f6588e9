<?php
// Read-only HTML view of what the test CRM stored for one tenant (German, plain).

declare(strict_types=1);

require_once __DIR__ . '/lib.php';
require_once __DIR__ . '/mailpage.php';

const TESTCRM_KIND_TITLES = [
    'contacts' => 'Firmen',
    'persons' => 'Personen',
    'pcontacts' => 'Persönliche Kontakte',
    'tasks' => 'Aufgaben',
    'appointments' => 'Termine',
    'mailfolders' => 'Mailordner',
    'mails' => 'E-Mails',
];

const TESTCRM_LABELS = [
    'id' => 'Nr.', 'user' => 'Benutzer', 'company' => 'Firma', 'department' => 'Abteilung',
    'street' => 'Straße', 'postcode' => 'PLZ', 'city' => 'Ort', 'region' => 'Bundesland', 'country' => 'Land',
    'email' => 'E-Mail', 'phone' => 'Telefon', 'fax' => 'Fax', 'mobile' => 'Mobil', 'notes' => 'Notizen',
    'website' => 'Webseite', 'cid' => 'Firma Nr.', 'salutation' => 'Anrede', 'firstname' => 'Vorname',
    'lastname' => 'Nachname', 'position' => 'Position', 'birthday' => 'Geburtstag',
    'anniversary' => 'Jahrestag', 'displayname' => 'Anzeigename', 'emailadr1' => 'E-Mail 1',
    'emailadr2' => 'E-Mail 2', 'emailadr3' => 'E-Mail 3', 'phone_work' => 'Telefon geschäftlich',
    'phone_home' => 'Telefon privat', 'phone_mobil' => 'Mobil', 'work_organisation' => 'Firma',
    'work_title' => 'Titel', 'home_city' => 'Ort privat', 'work_city' => 'Ort geschäftlich',
    'subject' => 'Betreff', 'body' => 'Text', 'start' => 'Beginn', 'stop' => 'Ende',
    'priority' => 'Priorität', 'status' => 'Status', 'done' => 'Erledigt (%)', 'category' => 'Kategorie',
    'privat' => 'Privat', 'rem' => 'Erinnerung', 'remember' => 'Erinnerungszeit', 'day' => 'Ganztägig',
    'serie' => 'Serie', 'intrval' => 'Intervall', 'serieend' => 'Serienende', 'confirmed' => 'Bestätigt',
    'crmTaskItemContacts' => 'Kontakte', 'name' => 'Name', 'parent' => 'Übergeordneter Ordner',
    'inbox' => 'Posteingang', 'tree_id' => 'Ordner', 'message_id' => 'Message-ID', 'from' => 'Von',
    'to' => 'An', 'date' => 'Datum', 'size' => 'Größe (Bytes)', 'achieved' => 'Geleistet (h)',
    'planned' => 'Geplant (h)',
];

const TESTCRM_TIME_FIELDS = ['start', 'stop', 'birthday', 'anniversary', 'serieend'];

function testcrm_h(string $text): string
{
    return htmlspecialchars($text, ENT_QUOTES | ENT_SUBSTITUTE | ENT_HTML5, 'UTF-8');
}

function testcrm_cell(string $field, mixed $value): string
{
    if (is_array($value)) {
        $parts = [];
        foreach ($value as $member) {
            $parts[] = is_array($member) ? implode(' ', array_map('testcrm_text_of', $member)) : testcrm_text_of($member);
        }
        return testcrm_h(implode('; ', $parts));
    }
    $text = testcrm_text_of($value);
    if (in_array($field, TESTCRM_TIME_FIELDS, true) && is_numeric($text) && (int)$text > 0 && (int)$text < 4294967295) {
        return '<span title="' . testcrm_h($text) . '">' . gmdate('d.m.Y H:i', (int)$text) . '</span>';
    }
    if (iconv_strlen($text, 'UTF-8') > 300) {
        $text = iconv_substr($text, 0, 300, 'UTF-8') . ' …';
    }
    return nl2br(testcrm_h($text));
}

function testcrm_text_of(mixed $value): string
{
    if ($value === null) {
        return '';
    }
    if (is_bool($value)) {
        return $value ? 'ja' : 'nein';
    }
    if (is_array($value)) {
        return implode(' ', array_map('testcrm_text_of', $value));
    }
    return (string)$value;
}

function testcrm_page_style(): string
{
    return '<style>body{font-family:sans-serif;margin:1.5em;color:#222}'
        . 'table{border-collapse:collapse;margin-bottom:1.5em}th,td{border:1px solid #bbb;padding:3px 6px;'
        . 'vertical-align:top;text-align:left;font-size:90%}th{background:#e8eef5}h2{margin-top:1.2em}'
        . '.leer{color:#777;font-style:italic}ul.baum,ul.baum ul{list-style:none;padding-left:1.4em}'
        . '.ordner{font-weight:bold}table.mails{margin:.3em 0 .8em}</style>';
}

function testcrm_render_tenant(string $tenant): string
{
    if (is_file(testcrm_tenant_file($tenant))) {
        $stored = testcrm_stored($tenant);
    } else {
        $stored = array_fill_keys(TESTCRM_KINDS, []);
    }
    $folderNames = [];
    foreach ($stored['mailfolders'] as $folder) {
        $folderNames[$folder['id']] = (string)($folder['name'] ?? '');
    }

    $html = "<!DOCTYPE html>\n<html lang=\"de\"><head><meta charset=\"utf-8\">"
        . '<title>Test-CRM: ' . testcrm_h($tenant) . '</title>' . testcrm_page_style() . "</head><body>\n"
        . '<h1>Test-CRM: Mandant ' . testcrm_h($tenant) . "</h1>\n";
    $summary = [];
    foreach (TESTCRM_KIND_TITLES as $kind => $title) {
        $summary[] = $title . ': ' . count($stored[$kind]);
    }
    $html .= '<p>Gespeichert: ' . testcrm_h(implode(', ', $summary)) . '. Zeiten in UTC. '
        . '<a href="index.html">Aktualisieren</a> · <a href="../">Alle Mandanten</a></p>' . "\n";

    foreach (TESTCRM_KIND_TITLES as $kind => $title) {
        if ($kind === 'mailfolders' || $kind === 'mails') {
            continue; // shown as a folder tree below
        }
        $items = $stored[$kind];
        $html .= '<h2>' . testcrm_h($title) . ' (' . count($items) . ")</h2>\n";
        if ($items === []) {
            $html .= "<p class=\"leer\">Keine Einträge.</p>\n";
            continue;
        }
        $columns = [];
        foreach ($items as $item) {
            foreach (array_keys($item) as $field) {
                if ($field !== '_request' && $field !== 'source' && !in_array($field, $columns, true)) {
                    $columns[] = $field;
                }
            }
        }
        $html .= "<table><tr>";
        foreach ($columns as $field) {
            $html .= '<th title="' . testcrm_h($field) . '">' . testcrm_h(TESTCRM_LABELS[$field] ?? $field) . '</th>';
        }
        $html .= "</tr>\n";
        foreach ($items as $item) {
            $html .= '<tr>';
            foreach ($columns as $field) {
                $value = $item[$field] ?? null;
                if (($field === 'tree_id' || ($kind === 'mailfolders' && $field === 'parent'))
                    && isset($folderNames[$value])) {
                    $value = $folderNames[$value] . ' (' . $value . ')';
                }
                $html .= '<td>' . testcrm_cell($field, $value) . '</td>';
            }
            $html .= "</tr>\n";
        }
        $html .= "</table>\n";
    }
    $html .= testcrm_render_mails($stored['mailfolders'], $stored['mails']);
    return $html . "</body></html>\n";
}

function testcrm_render_index(): string
{
    $html = "<!DOCTYPE html>\n<html lang=\"de\"><head><meta charset=\"utf-8\"><title>Test-CRM</title>"
        . testcrm_page_style() . "</head><body>\n<h1>Test-CRM</h1>\n";
    $tenants = testcrm_tenants();
    if ($tenants === []) {
        return $html . "<p class=\"leer\">Noch keine Mandanten.</p></body></html>\n";
    }
    $html .= "<p>Mandanten:</p><ul>\n";
    foreach ($tenants as $tenant) {
        $html .= '<li><a href="' . rawurlencode($tenant) . '/">' . testcrm_h($tenant) . "</a></li>\n";
    }
    return $html . "</ul></body></html>\n";
}
