<?php
// Control subcommands of the test CRM that work directly on the tenant databases.
// Called by the "testcrm" script with TESTCRM_STATE set: ctl.php <command> <tenant> [args...]

declare(strict_types=1);

require_once __DIR__ . '/lib.php';

if ($argc < 3) {
    fwrite(STDERR, "usage: ctl.php reset|adduser|fault|dump|requests|session <tenant> [args]\n");
    exit(2);
}
try {
    echo testcrm_control($argv[1], $argv[2], array_slice($argv, 3));
} catch (InvalidArgumentException $e) {
    fwrite(STDERR, 'testcrm: ' . $e->getMessage() . "\n");
    exit(2);
} catch (Throwable $e) {
    fwrite(STDERR, 'testcrm: ' . $e->getMessage() . "\n");
    exit(1);
}
