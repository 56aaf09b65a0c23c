<?php
// Run by tools/static-feed.sh: writes into OUT_DIR, for each version, the answer that the
// reference endpoint gives that version from the signed description, once it has verified that a
// program of that version, built with the public keys in KEYS (one PEM block each), obeys it.
//   php static-feed.php DESCRIPTION KEYS OUT_DIR VERSION...
// Exit code 1, with the version and the reason, for the first answer it would not obey; the
// caller then throws OUT_DIR away.
declare(strict_types=1);
require __DIR__ . '/publishing.php';

// Why a program of $version built with $keys would ignore $answer, or null when it obeys it.
function whyIgnored(string $answer, string $version, array $keys): ?string
{
    $value = signatureValue($answer);
    $signature = $value === null
        ? false : base64_decode(substr($answer, $value[0], $value[1] - $value[0]), true);
    if ($signature === false || strlen($signature) !== 64) {
        return 'not signed';
    }
    $verifies = fn(string $key): bool =>
        openssl_verify(unsigned($answer), derSignature($signature), $key, OPENSSL_ALGO_SHA256) === 1;
    if (!array_filter($keys, $verifies)) {
        return 'signed with no key of OSTREL_UPDATE_PUBLIC_KEY';
    }
    $terms = json_decode($answer, true);
    if (strtotime($terms['expires']) <= time()) {
        return "expired on {$terms['expires']}";
    }
    $from = $terms['forVersionsFrom'];
    $below = $terms['forVersionsBelow'];
    if (($from !== '' && compareVersions($version, $from) < 0)
        || ($below !== '' && compareVersions($version, $below) >= 0)) {
        return "made for versions from " . ($from ?: 'any') . ' below ' . ($below ?: 'any');
    }
    return null;
}

[, $path, $keyFile, $out] = $argv;
$versions = array_slice($argv, 4);
$description = readDescription($path);
if (is_string($description)) {
    refuse("the endpoint refuses $path: $description");
}
// Decided by what the endpoint serves from, never by the text: any other value is no answer.
if (!is_array($description['signedAnswers'] ?? null)) {
    refuse("$path is not signed: static answers are for programs built with keys; sign it with"
        . ' tools/sign-update.sh first');
}
preg_match_all('/-----BEGIN PUBLIC KEY-----.*?-----END PUBLIC KEY-----/s',
    (string)file_get_contents($keyFile), $blocks);
foreach ($versions as $version) {
    $answer = updateDocument($description, $version);
    $why = whyIgnored($answer, $version, $blocks[0]);
    if ($why !== null) {
        refuse("the answer for $version is $why: a program of $version built with"
            . " OSTREL_UPDATE_PUBLIC_KEY would ignore it. Nothing was written.");
    }
    file_put_contents("$out/$version.json", $answer);
}
