<?php
// The update endpoint. GET //update.php?version=X answers the update document for a program of
// version X, made from update.json beside this file, which the publisher edits for each release.
// Needs nothing beyond a plain PHP 8 (no mbstring). From the command line, `php update.php X`
// prints the document that version X would get, or what is wrong with the description.
declare(strict_types=1);

const DESCRIPTION = __DIR__ . '/update.json';
// The program finds each value by searching for its quoted key: a value that reads as a key
// would be taken for it.
const DOCUMENT_KEYS = ['needUpdate', 'mustUpdate', 'title', 'message', 'url', 'versionName'];
const PLAIN_VERSION = '/^[0-9]{1,9}(\.[0-9]{1,9}){0,3}$/';

// The description, checked, or what is wrong with it.
function readDescription(): array|string
{
    $text = @file_get_contents(DESCRIPTION);
    if ($text === false) {
        return DESCRIPTION . ' cannot be read';
    }
    $description = json_decode($text, true);
    if (!is_array($description)) {
        return DESCRIPTION . ' is not a JSON object: ' . json_last_error_msg();
    }
    $texts = ['latestVersion', 'lowestAllowedVersion', 'title', 'downloadUrl'];
    foreach ($texts as $key) {
        if (!is_string($description[$key] ?? null)) {
            return "$key: missing, or not a text";
        }
    }
    $notes = $description['notes'] ?? null;
    if (!is_array($notes) || !array_is_list($notes) || array_filter($notes, 'is_string') !== $notes) {
        return 'notes: missing, or not a list of lines';
    }
    foreach (['latestVersion', 'lowestAllowedVersion'] as $key) {
        if (!preg_match(PLAIN_VERSION, $description[$key])) {
            return "$key: \"{$description[$key]}\" is not a plain dotted version such as 1.2.0";
        }
    }
    if (version_compare($description['lowestAllowedVersion'], $description['latestVersion'], '>')) {
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

// The document for a program of $version: no version, or not a plain one, gets the offer, never
// a mandatory one.
function updateDocument(array $description, mixed $version): string
{
    $known = is_string($version) && preg_match(PLAIN_VERSION, $version);
    $document = [
        'needUpdate' => !$known || version_compare($version, $description['latestVersion'], '<'),
        'mustUpdate' => $known && version_compare($version, $description['lowestAllowedVersion'], '<'),
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
    $description = readDescription();
    if (is_string($description)) {
        fwrite(STDERR, "update.php: $description\n");
        exit(1);
    }
    echo updateDocument($description, $argv[1] ?? null);
    exit(0);
}

// The answer depends on the address and the description alone, so caches may keep it a few
// minutes; a failure is never kept.
if ($_SERVER['REQUEST_METHOD'] !== 'GET') {
    http_response_code(405);
    header('Allow: GET');
    header('Cache-Control: no-store');
    exit;
}
$description = readDescription();
if (is_string($description)) {
    // No document at all: the program stays silent, as for any failed check.
    error_log("update.php: $description");
    http_response_code(503);
    header('Cache-Control: no-store');
    exit;
}
header('Content-Type: application/json; charset=utf-8');
header('Cache-Control: public, max-age=300');
echo updateDocument($description, $_GET['version'] ?? null);
