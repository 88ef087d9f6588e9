<?php
// Router for PHP's built-in web server:
//   POST /<tenant>/[any/base/path/]soap/index.php?op=<service>   SOAP endpoint
//   GET  /<tenant>/ or /<tenant>/index.html                        what the tenant stored (HTML)
//   GET  /                                                         list of tenants
//   GET  /_testcrm/ping                                            liveness check of the control command
//   POST /_testcrm/control   {"command", "tenant", "args"}          control commands for the C++ test helper

declare(strict_types=1);

require_once __DIR__ . '/lib.php';

function testcrm_route(): void
{
    $path = (string)parse_url($_SERVER['REQUEST_URI'] ?? '/', PHP_URL_PATH);
    $path = rawurldecode($path);

    if ($path === '/_testcrm/ping') {
        header('Content-Type: text/plain; charset=utf-8');
        // The state folder tells the control command that this is the instance it started.
        echo 'ok ', testcrm_state_dir(), "\n";
        return;
    }
    if ($path === '/_testcrm/control') {
        testcrm_http_control();
        return;
    }
    if ($path === '/' || $path === '/index.html') {
        require_once __DIR__ . '/page.php';
        header('Content-Type: text/html; charset=utf-8');
        echo testcrm_render_index();
        return;
    }

    $segments = explode('/', ltrim($path, '/'), 2);
    $tenant = $segments[0];
    $rest = $segments[1] ?? null;
    if (!testcrm_valid_tenant($tenant)) {
        http_response_code(404);
        header('Content-Type: text/plain; charset=utf-8');
        echo "Unbekannter Pfad\n";
        return;
    }
    if ($rest !== null && preg_match('#(^|/)soap/index\.php$#', $rest) === 1) {
        require_once __DIR__ . '/soap.php';
        testcrm_handle_soap($tenant, $path);
        return;
    }
    if ($rest === null || $rest === '' || $rest === 'index.html') {
        if ($rest === null) {
            header('Location: /' . rawurlencode($tenant) . '/', true, 301);
            return;
        }
        require_once __DIR__ . '/page.php';
        header('Content-Type: text/html; charset=utf-8');
        echo testcrm_render_tenant($tenant);
        return;
    }
    http_response_code(404);
    header('Content-Type: text/plain; charset=utf-8');
    echo "Unbekannter Pfad\n";
}

function testcrm_http_control(): void
{
    header('Content-Type: text/plain; charset=utf-8');
    $request = json_decode((string)file_get_contents('php://input'), true);
    if (($_SERVER['REQUEST_METHOD'] ?? '') !== 'POST' || !is_array($request)
        || !is_string($request['command'] ?? null) || !is_string($request['tenant'] ?? null)
        || !is_array($request['args'] ?? [])) {
        http_response_code(400);
        echo "expected POST with {\"command\", \"tenant\", \"args\"}\n";
        return;
    }
    try {
        echo testcrm_control($request['command'], $request['tenant'], $request['args'] ?? []);
    } catch (InvalidArgumentException $e) {
        http_response_code(400);
        echo $e->getMessage(), "\n";
    }
}

try {
    testcrm_route();
} catch (Throwable $e) {
    error_log('testcrm: ' . $e->getMessage() . ' at ' . $e->getFile() . ':' . $e->getLine());
    if (!headers_sent()) {
        http_response_code(500);
        header('Content-Type: text/plain; charset=utf-8');
    }
    echo 'Interner Fehler des Test-CRM: ' . $e->getMessage() . "\n";
}
