<?php
// What the publisher's tools (sign-update.php, static-feed.php) share: the endpoint's own
// functions, the refusal that ends a tool, and the signature in both its forms.
declare(strict_types=1);
require __DIR__ . '/../server/update.php';

// Ends the tool with exit code 1, its name and the reason on standard error.
function refuse(string $why): never
{
    fwrite(STDERR, basename($GLOBALS['argv'][0], '.php') . ": $why\n");
    exit(1);
}

// An ECDSA signature as openssl writes it (DER) in the form the program reads: r then s, 32
// big-endian bytes each.
function p1363(string $der): string
{
    $integers = '';
    for ($at = 2; $at < strlen($der) && $der[$at] === "\x02"; $at += 2 + ord($der[$at + 1])) {
        $value = ltrim(substr($der, $at + 2, ord($der[$at + 1])), "\0");
        $integers .= str_pad($value, 32, "\0", STR_PAD_LEFT);
    }
    return $integers;
}

// The signature the program reads (r then s, 32 bytes each) in the DER form openssl verifies.
function derSignature(string $rs): string
{
    $integer = function (string $bytes): string {
        $bytes = ltrim($bytes, "\0");
        if ($bytes === '' || ord($bytes[0]) >= 0x80) {
            $bytes = "\0$bytes";
        }
        return "\x02" . chr(strlen($bytes)) . $bytes;
    };
    $sequence = $integer(substr($rs, 0, 32)) . $integer(substr($rs, 32));
    return "\x30" . chr(strlen($sequence)) . $sequence;
}
