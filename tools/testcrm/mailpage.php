<?php
// The mail part of the tenant page: the mail folders as a tree and, per folder, every stored
// message with its decoded subject, sender, recipients, date, size and attachment names, read
// from the MIME source the importer sent. Only what PHP's CLI ships is used (iconv).

declare(strict_types=1);

// Header text with RFC 2047 encoded words decoded, as UTF-8.
function testcrm_mime_decode_words(string $value): string
{
    $decoded = @iconv_mime_decode($value, ICONV_MIME_DECODE_CONTINUE_ON_ERROR, 'UTF-8');
    if (!is_string($decoded)) {
        $decoded = $value;
    }
    if (preg_match('//u', $decoded) !== 1) {
        $decoded = (string)@iconv('ISO-8859-1', 'UTF-8', $decoded);
    }
    return trim($decoded);
}

// Splits a MIME entity into its unfolded headers (lower-case name => list of values) and its body.
function testcrm_mime_split(string $raw): array
{
    $crlf = strpos($raw, "\r\n\r\n");
    $lf = strpos($raw, "\n\n");
    if ($crlf !== false && ($lf === false || $crlf < $lf)) {
        [$head, $body] = [substr($raw, 0, $crlf), substr($raw, $crlf + 4)];
    } elseif ($lf !== false) {
        [$head, $body] = [substr($raw, 0, $lf), substr($raw, $lf + 2)];
    } else {
        [$head, $body] = [$raw, ''];
    }
    $head = (string)preg_replace("/\r?\n[ \t]+/", ' ', $head);
    $headers = [];
    foreach (preg_split("/\r?\n/", $head) as $line) {
        if (preg_match('/^([!-9;-~]+):[ \t]*(.*)$/', $line, $m) === 1) {
            $headers[strtolower($m[1])][] = $m[2];
        }
    }
    return [$headers, $body];
}

// "type/subtype; a=b; c*=utf-8''%C3%A4" => ['type/subtype', ['a' => 'b', 'c' => 'ä']], including
// RFC 2231 continuations (name*0*=, name*1*=) and RFC 2047 words inside quoted values.
function testcrm_mime_params(string $value): array
{
    $parts = [];
    if (preg_match_all('/;\s*([^=;\s]+)\s*=\s*("(?:[^"\\\\]|\\\\.)*"|[^;]*)/', $value, $m, PREG_SET_ORDER) > 0) {
        foreach ($m as $p) {
            $parts[] = [strtolower($p[1]), trim($p[2])];
        }
    }
    $main = strtolower(trim((string)strtok($value, ';')));
    $params = [];
    $extended = [];
    foreach ($parts as [$name, $raw]) {
        $quoted = strlen($raw) >= 2 && $raw[0] === '"';
        $text = $quoted ? stripcslashes(substr($raw, 1, -1)) : $raw;
        if (preg_match('/^([^*]+)\*(\d+)?(\*)?$/', $name, $e) === 1) {
            $extended[$e[1]][(int)($e[2] ?? 0)] = [$text, isset($e[3]) || !isset($e[2]) || $e[2] === ''];
            continue;
        }
        $params[$name] = testcrm_mime_decode_words($text);
    }
    foreach ($extended as $name => $pieces) {
        ksort($pieces);
        $charset = 'UTF-8';
        $joined = '';
        $first = true;
        foreach ($pieces as [$text, $encoded]) {
            if ($encoded && $first && preg_match("/^([^']*)'[^']*'(.*)$/s", $text, $c) === 1) {
                $charset = $c[1] !== '' ? $c[1] : 'UTF-8';
                $text = $c[2];
            }
            $joined .= $encoded ? rawurldecode($text) : $text;
            $first = false;
        }
        $converted = @iconv($charset, 'UTF-8', $joined);
        $params[$name] = is_string($converted) ? $converted : $joined;
    }
    return [$main, $params];
}

function testcrm_mime_body(array $headers, string $body): string
{
    $encoding = strtolower(trim($headers['content-transfer-encoding'][0] ?? ''));
    if ($encoding === 'base64') {
        return (string)base64_decode((string)preg_replace('/[^A-Za-z0-9+\/=]/', '', $body));
    }
    if ($encoding === 'quoted-printable') {
        return quoted_printable_decode($body);
    }
    return $body;
}

// The attachments of a MIME entity: name, type, size and whether it is shown in the body.
// Embedded messages are listed, not entered.
function testcrm_mime_attachments(string $raw, int $depth = 0): array
{
    if ($depth > 20) {
        return [];
    }
    [$headers, $body] = testcrm_mime_split($raw);
    [$type, $params] = testcrm_mime_params($headers['content-type'][0] ?? 'text/plain');
    [$disposition, $dispParams] = testcrm_mime_params($headers['content-disposition'][0] ?? '');
    if (str_starts_with($type, 'multipart/') && ($params['boundary'] ?? '') !== '') {
        $found = [];
        $pieces = explode('--' . $params['boundary'], $body);
        array_shift($pieces); // the preamble
        foreach ($pieces as $piece) {
            if (str_starts_with($piece, '--')) {
                break; // the closing delimiter
            }
            $piece = (string)preg_replace('/^[ \t]*\r?\n/', '', $piece);
            $piece = (string)preg_replace('/\r?\n$/', '', $piece);
            $found = array_merge($found, testcrm_mime_attachments($piece, $depth + 1));
        }
        return $found;
    }
    $name = $dispParams['filename'] ?? $params['name'] ?? null;
    $inline = $disposition === 'inline' || isset($headers['content-id']);
    if ($type === 'message/rfc822') {
        [$inner] = testcrm_mime_split(testcrm_mime_body($headers, $body));
        $subject = testcrm_mime_decode_words($inner['subject'][0] ?? '');
        return [['name' => $name ?? ('Nachricht: ' . $subject), 'type' => $type,
                 'size' => strlen(testcrm_mime_body($headers, $body)), 'inline' => false]];
    }
    $isText = str_starts_with($type, 'text/') || $type === '';
    if ($name === null && ($disposition !== 'attachment' && ($isText || !$inline))) {
        return []; // a body part
    }
    return [['name' => $name ?? '(ohne Namen)', 'type' => $type,
             'size' => strlen(testcrm_mime_body($headers, $body)), 'inline' => $inline && $disposition !== 'attachment']];
}

// What the page shows of one stored message.
function testcrm_mail_summary(array $mail): array
{
    $source = base64_decode((string)preg_replace('/\s+/', '', (string)($mail['source'] ?? '')), true);
    $source = is_string($source) ? $source : '';
    [$headers] = testcrm_mime_split($source);
    $header = fn(string $name): string => testcrm_mime_decode_words(implode(', ', $headers[$name] ?? []));
    return [
        'subject' => $header('subject'),
        'from' => $header('from'),
        'to' => $header('to'),
        'cc' => $header('cc'),
        'date' => $header('date'),
        'size' => strlen($source),
        'attachments' => testcrm_mime_attachments($source),
    ];
}

function testcrm_size_text(int $bytes): string
{
    if ($bytes >= 1048576) {
        return number_format($bytes / 1048576, 1, ',', '.') . ' MB';
    }
    if ($bytes >= 1024) {
        return number_format($bytes / 1024, 1, ',', '.') . ' KB';
    }
    return $bytes . ' Bytes';
}

function testcrm_render_mail_table(array $mails): string
{
    if ($mails === []) {
        return '';
    }
    $html = '<table class="mails"><tr><th>Nr.</th><th>Betreff</th><th>Von</th><th>An</th><th>Datum</th>'
        . "<th>Größe</th><th>Anlagen</th></tr>\n";
    foreach ($mails as $mail) {
        $m = testcrm_mail_summary($mail);
        $attachments = [];
        foreach ($m['attachments'] as $a) {
            $attachments[] = testcrm_h($a['name']) . ' <span class="leer">(' . testcrm_h($a['type']) . ', '
                . testcrm_size_text($a['size']) . ($a['inline'] ? ', im Text' : '') . ')</span>';
        }
        $to = $m['to'] . ($m['cc'] !== '' ? ' · Cc: ' . $m['cc'] : '');
        $html .= '<tr><td>' . (int)$mail['id'] . '</td><td>' . testcrm_h($m['subject']) . '</td><td>'
            . testcrm_h($m['from']) . '</td><td>' . testcrm_h($to) . '</td><td>' . testcrm_h($m['date'])
            . '</td><td>' . testcrm_size_text($m['size']) . '</td><td>' . implode('<br>', $attachments)
            . "</td></tr>\n";
    }
    return $html . "</table>\n";
}

// The folder tree with the messages of each folder; messages whose folder is unknown come last.
function testcrm_render_mails(array $folders, array $mails): string
{
    $html = '<h2>E-Mails (' . count($mails) . ') in Mailordnern (' . count($folders) . ")</h2>\n";
    if ($folders === [] && $mails === []) {
        return $html . "<p class=\"leer\">Keine Einträge.</p>\n";
    }
    $byId = [];
    $children = [];
    foreach ($folders as $folder) {
        $byId[(int)$folder['id']] = $folder;
    }
    $roots = [];
    foreach ($folders as $folder) {
        $parent = (int)($folder['parent'] ?? 0);
        if (isset($byId[$parent]) && $parent !== (int)$folder['id']) {
            $children[$parent][] = $folder;
        } else {
            $roots[] = $folder;
        }
    }
    $mailsIn = [];
    $orphans = [];
    foreach ($mails as $mail) {
        $tree = (int)($mail['tree_id'] ?? 0);
        if (isset($byId[$tree])) {
            $mailsIn[$tree][] = $mail;
        } else {
            $orphans[] = $mail;
        }
    }
    $render = function (array $folder, int $depth) use (&$render, $children, $mailsIn): string {
        $id = (int)$folder['id'];
        $own = $mailsIn[$id] ?? [];
        $out = '<li><span class="ordner">' . testcrm_h((string)($folder['name'] ?? '')) . '</span> '
            . '<span class="leer">(Nr. ' . $id . ', ' . count($own) . " E-Mails)</span>\n"
            . testcrm_render_mail_table($own);
        if ($depth < 64 && isset($children[$id])) {
            $out .= "<ul>\n";
            foreach ($children[$id] as $child) {
                $out .= $render($child, $depth + 1);
            }
            $out .= "</ul>\n";
        }
        return $out . "</li>\n";
    };
    $html .= "<ul class=\"baum\">\n";
    foreach ($roots as $root) {
        $html .= $render($root, 0);
    }
    $html .= "</ul>\n";
    if ($orphans !== []) {
        $html .= '<h3>Ohne bekannten Ordner (' . count($orphans) . ")</h3>\n" . testcrm_render_mail_table($orphans);
    }
    return $html;
}
