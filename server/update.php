<?php
// The update endpoint. GET //update.php?version=X answers the update document for a program of
// version X, made from update.json beside this file, which the publisher edits for each release;
// HEAD answers the same without the body. Needs nothing beyond a plain PHP 8.0 (no mbstring).
// From the command line, `php update.php X [DESCRIPTION]` prints the document that version X would
// get from update.json, or from another description file (a new one, checked before it goes
// live), or what is wrong with the description.
//
// A description signed with tools/sign-update.sh carries the answers it makes, signed offline
// with the publisher's private key, in "signedAnswers": they are served byte for byte as signed,
// and a description changed after signing, or whose answers have expired, is refused. No key of
// any kind is needed here.
declare(strict_types=1);

const DESCRIPTION = __DIR__ . '/update.json';
// The program finds each value by searching for its quoted key: a value that reads as a key
// would be taken for it.
const DOCUMENT_KEYS = ['needUpdate', 'mustUpdate', 'title', 'message', 'url', 'versionName',
    'installerSha256', 'installerSize', 'forVersionsFrom', 'forVersionsBelow', 'issued', 'expires',
    'signature'];
// The largest installer the program fetches.
const MAXIMUM_INSTALLER_SIZE = 256 << 20;
const ANSWER_CLASSES = ['mandatory', 'optional', 'current'];
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

// The description in $path, checked (its signed answers too, unless $signing), or what is wrong
// with it.
function readDescription(string $path, bool $signing = false): array|string
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
    return $signing || !isset($description['signedAnswers'])
        ? $description : checkSignedAnswers($description);
}

// The class of answer a program of $version gets: below lowestAllowedVersion the mandatory offer,
// below latestVersion the optional one, from it on none. No plain version: the optional offer.
function answerClass(array $description, ?string $version): string
{
    if ($version === null) {
        return 'optional';
    }
    if (compareVersions($version, $description['lowestAllowedVersion']) < 0) {
        return 'mandatory';
    }
    return compareVersions($version, $description['latestVersion']) < 0 ? 'optional' : 'current';
}

// Whether an offer's installer is named as the program reads it: 64 hexadecimal digits, and a size
// in decimal from 1 to MAXIMUM_INSTALLER_SIZE, both texts.
function isInstallerNamed(array $installer): bool
{
    $size = $installer['installerSize'] ?? null;
    return is_string($installer['installerSha256'] ?? null)
        && preg_match('/^[0-9a-f]{64}$/D', $installer['installerSha256']) === 1
        && is_string($size) && preg_match('/^[1-9][0-9]{0,8}$/D', $size) === 1
        && (int)$size <= MAXIMUM_INSTALLER_SIZE;
}

// The signed answers of $description, unless they were made from another description or expired.
// Answers signed before they carried "issued" are read without it.
function checkSignedAnswers(array $description): array|string
{
    $signed = $description['signedAnswers'];
    $time = fn(mixed $text): bool =>
        is_string($text) && preg_match('/^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$/D', $text) === 1;
    foreach (ANSWER_CLASSES as $class) {
        $answer = is_array($signed) ? ($signed[$class] ?? null) : null;
        $decoded = is_string($answer) ? json_decode($answer, true) : null;
        $expires = is_array($decoded) ? ($decoded['expires'] ?? null) : null;
        $issued = is_array($decoded) ? ($decoded['issued'] ?? null) : null;
        // The installer an offer names was given at signing: it is read back from the answer.
        $installer = is_array($decoded) && isset($decoded['installerSha256'])
            ? array_intersect_key($decoded, ['installerSha256' => 0, 'installerSize' => 0]) : null;
        if (!$time($expires) || ($issued !== null && !$time($issued))
            || ($installer !== null && !isInstallerNamed($installer))) {
            return "signedAnswers: not as tools/sign-update.sh writes them: sign it again";
        }
        if (unsigned($answer) !== answerDocument($description, $class, $expires, $issued, $installer)) {
            return 'changed after signing: sign it again';
        }
        if (strtotime($expires) <= time()) {
            return "expired on $expires: sign it again";
        }
    }
    return $description;
}

// Where the answer's signature value lies, [start, end), found as the program finds it: between
// the first two double quotes after the colon that follows the first "signature".
function signatureValue(string $answer): ?array
{
    $key = strpos($answer, '"signature"');
    $colon = $key === false ? false : strpos($answer, ':', $key);
    $open = $colon === false ? false : strpos($answer, '"', $colon);
    $close = $open === false ? false : strpos($answer, '"', $open + 1);
    return $close === false ? null : [$open + 1, $close];
}

// The answer with its signature's value taken out: the bytes the signature covers.
function unsigned(string $answer): ?string
{
    $value = signatureValue($answer);
    return $value === null ? null : substr($answer, 0, $value[0]) . substr($answer, $value[1]);
}

// The document for a program of $version: its signed answer when the description is signed.
function updateDocument(array $description, ?string $version): string
{
    $class = answerClass($description, $version);
    return $description['signedAnswers'][$class] ?? answerDocument($description, $class);
}

// The answer of a class; with the time it expires (and the time it was signed, and the installer
// the offers name), the answer to sign, its signature empty.
function answerDocument(array $description, string $class, ?string $expires = null,
    ?string $issued = null, ?array $installer = null): string
{
    $document = [
        'needUpdate' => $class !== 'current',
        'mustUpdate' => $class === 'mandatory',
        'title' => $description['title'],
        'message' => implode("\n", $description['notes']),
        'url' => $description['downloadUrl'],
        'versionName' => $description['latestVersion'],
    ];
    if ($installer !== null && $class !== 'current') {
        $document += $installer;
    }
    if ($expires !== null) {
        [$from, $below] = match ($class) {
            'mandatory' => ['', $description['lowestAllowedVersion']],
            'optional' => [$description['lowestAllowedVersion'], $description['latestVersion']],
            'current' => [$description['latestVersion'], ''],
        };
        // Both bounds always: an answer without one counts for no version.
        $document += ['forVersionsFrom' => $from, 'forVersionsBelow' => $below];
        if ($issued !== null) {
            $document['issued'] = $issued;
        }
        $document += ['expires' => $expires, 'signature' => ''];
    }
    // As the program reads it: raw UTF-8, plain slashes, line breaks as backslash-n (the checked
    // texts leave json_encode nothing else to escape).
    return json_encode($document, JSON_PRETTY_PRINT | JSON_UNESCAPED_SLASHES
        | JSON_UNESCAPED_UNICODE | JSON_UNESCAPED_LINE_TERMINATORS) . "\n";
}

// Included by the signing tool for its functions alone.
if (get_included_files()[0] !== __FILE__) {
    return;
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
