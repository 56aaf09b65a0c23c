<?php
// The update endpoint. GET //update.php?version=X answers the update document for a program of
// version X, made from update.json beside this file, which the publisher edits for each release;
// HEAD answers the same without the body. Needs nothing beyond a plain PHP 8.0 (no mbstring).
// From the command line, `php update.php X [DESCRIPTION]` prints the document that version X would
// get from update.json, or from another description file (a new one, checked before it goes
// live), or what is wrong with the description.
declare(strict_types=1);

const DESCRIPTION = __DIR__ . '/update.json';
// The program finds each value by searching for its quoted key: a value that reads as a key
// would be taken for it.
const DOCUMENT_KEYS = ['needUpdate', 'mustUpdate', 'title', 'message', 'url', 'versionName'];
// Whole texts only: without D, $ also matches before a final line feed.
const PLAIN_VERSION = '/^[0-9]{1,9}(\.[0-9]{1,9}){0,3}$/D';

// Versions as the program means them: 1.1, 1.1.0 and 1.1.0.0 are one version (version_compare
// alone takes 1.1.0 for older than 1.1.0.0, the form in which Windows shows a file's version).
function compareVersions(string $a, string $b): int
{
    $fourParts = fn(string $version): string =>
        implode('.', array_pad(explode('.', $version), 4, '0'));
    return version_compare($fourParts($a), $fourParts($b));
}

// The version a request asks as, when it is a plain one.
function plainVersion(mixed $version): ?string
{
    return is_string($version) && preg_match(PLAIN_VERSION, $version) ? $version : null;
}

// The description in $path, checked, or what is wrong with it.
function readDescription(string $path): array|string
{
    $text = @file_get_contents($path);
    if ($text === false) {
        return "$path cannot be read";
    }
    $description = json_decode($text, true);
    if (!is_array($description)) {
        return "$path is not a JSON object: " . json_last_error_msg();
    }
    $texts = ['latestVersion', 'lowestAllowedVersion', 'title', 'downloadUrl'];
    foreach ($texts as $key) {
        if (!is_string($description[$key] ?? null)) {
            return "$key: missing, or not a text";
        }
    }
    $notes = $description['notes'] ?? null;
    // array_values, not array_is_list, which PHP 8.0 lacks.
    if (!is_array($notes) || array_values($notes) !== $notes
        || array_filter($notes, 'is_string') !== $notes) {
        return 'notes: missing, or not a list of lines';
    }
    foreach (['latestVersion', 'lowestAllowedVersion'] as $key) {
        if (!preg_match(PLAIN_VERSION, $description[$key])) {
            return "$key: \"{$description[$key]}\" is not a plain dotted version such as 1.2.0";
        }
    }
    if (compareVersions($description['lowestAllowedVersion'], $description['latestVersion']) > 0) {
        return 'lowestAllowedVersion is newer than latestVersion';
    }
    // Any other address makes the program open its fallback page instead.
    if (!preg_match('#^https?://#i', $description['downloadUrl'])) {
        return 'downloadUrl: not an http or https address';
    }
    // The program reads each value raw, up to the next double quote, and turns nothing but
    // backslash-n (a line break of the notes) into anything else.
    $shown = ['title' => $description['title'], 'downloadUrl' => $description['downloadUrl']];
    foreach ($notes as $number => $line) {
        $shown['notes, line ' . ($number + 1)] = $line;
    }
    foreach ($shown as $what => $text) {
        if (preg_match('/["\\\\\x00-\x1F]/', $text)) {
            return "$what holds a double quote, a backslash or a control character, which the "
                . 'program cannot show as written';
        }
    }
    foreach (['title' => $description['title'], 'notes' => implode("\n", $notes)] as $what => $text) {
        if (in_array($text, DOCUMENT_KEYS, true)) {
            return "$what: \"$text\" would be read as a key of the document";
        }
    }
    return $description;
}

// The document for a program of $version: no plain version gets the offer, never a mandatory one.
function updateDocument(array $description, ?string $version): string
{
    $document = [
        'needUpdate' => $version === null
            || compareVersions($version, $description['latestVersion']) < 0,
        'mustUpdate' => $version !== null
            && compareVersions($version, $description['lowestAllowedVersion']) < 0,
        'title' => $description['title'],
        'message' => implode("\n", $description['notes']),
        'url' => $description['downloadUrl'],
        'versionName' => $description['latestVersion'],
    ];
    // As the program reads it: raw UTF-8, plain slashes, line breaks as backslash-n (the checked
    // texts leave json_encode nothing else to escape).
    return json_encode($document, JSON_PRETTY_PRINT | JSON_UNESCAPED_SLASHES
        | JSON_UNESCAPED_UNICODE | JSON_UNESCAPED_LINE_TERMINATORS) . "\n";
}

if (PHP_SAPI === 'cli') {
    $description = readDescription($argv[2] ?? DESCRIPTION);
    if (is_string($description)) {
        fwrite(STDERR, "update.php: $description\n");
        exit(1);
    }
    echo updateDocument($description, plainVersion($argv[1] ?? null));
    exit(0);
}

// The answer depends on the address and the description alone, so caches may keep it a few
// minutes; a failure is never kept. PHP sends no body for HEAD, whatever is echoed.
if (!in_array($_SERVER['REQUEST_METHOD'], ['GET', 'HEAD'], true)) {
    http_response_code(405);
    header('Allow: GET, HEAD');
    header('Cache-Control: no-store');
    exit;
}
$description = readDescription(DESCRIPTION);
if (is_string($description)) {
    // No document at all: the program stays silent, as for any failed check.
    error_log("update.php: $description");
    http_response_code(503);
    header('Cache-Control: no-store');
    exit;
}
$version = plainVersion($_GET['version'] ?? null);
header('Content-Type: application/json; charset=utf-8');
header('Cache-Control: public, max-age=300');
// Names the version the answer was made for, so that a cache which hands one version's answer
// to another (one that ignores the query string) can be told apart.
header('Ostrel-Answer-For: ' . ($version ?? 'none'));
echo updateDocument($description, $version);
