<?php
// Run by tools/sign-update.sh: signs the description DESCRIPTION in place, its mandatory answer
// expiring MANDATORY_DAYS days from now and the others DAYS days from now, with the private key
// read from standard input (PEM); the offers name the installer of that SHA-256 and size, if given.
//   php sign-update.php DESCRIPTION DAYS MANDATORY_DAYS [INSTALLER_SHA256 INSTALLER_SIZE] < KEY
// The publisher's text stays as written; the signed answers go into "signedAnswers" after it. The
// file is replaced whole, or left as it was.
declare(strict_types=1);
require __DIR__ . '/publishing.php';

[, $path, $days, $mandatoryDays] = $argv;
$installer = isset($argv[5]) ? ['installerSha256' => $argv[4], 'installerSize' => $argv[5]] : null;
$key = openssl_pkey_get_private(stream_get_contents(STDIN));
$details = $key === false ? false : openssl_pkey_get_details($key);
$keyFile = getenv('OSTREL_UPDATE_SIGNING_KEY');
if ($details === false) {
    refuse("$keyFile holds no private key");
}
if (($details['ec']['curve_name'] ?? '') !== 'prime256v1') {
    refuse("$keyFile is not a P-256 (prime256v1) private key: the program verifies P-256 alone");
}
$description = readDescription($path, true);
if (is_string($description)) {
    refuse("the endpoint would refuse $path: $description");
}

// The publisher's text: the file up to its closing brace, without a signedAnswers written before.
$text = rtrim(file_get_contents($path));
$publisher = rtrim(substr($text, 0, -1));
if (isset($description['signedAnswers'])) {
    $publisher = rtrim(substr($text, 0, (int)strrpos($text, '"signedAnswers"')));
    $unsigned = $description;
    unset($unsigned['signedAnswers']);
    if (!str_ends_with($publisher, ',')
        || json_decode(substr($publisher, 0, -1) . "}", true) !== $unsigned) {
        refuse("$path: signedAnswers is not last, where this tool writes it: remove it, sign again");
    }
    $publisher = substr($publisher, 0, -1);
}

if ($installer !== null && !isInstallerNamed($installer)) {
    refuse("the installer has {$installer['installerSize']} bytes: the program takes 1 to "
        . MAXIMUM_INSTALLER_SIZE);
}

// The signature would vouch for a download that anyone on the network path can replace.
if (preg_match('#^http://#i', $description['downloadUrl']) && getenv('OSTREL_ALLOW_PLAIN_HTTP') !== '1') {
    refuse("downloadUrl {$description['downloadUrl']} is plain http: anyone on the network path"
        . ' could replace the download the signature vouches for. Give an https address, or set'
        . ' OSTREL_ALLOW_PLAIN_HTTP=1 to sign it knowingly.');
}

// Every signed answer stays good, for whoever serves it, until it expires: a mandatory one, which
// ends the programs it is made for, lives the shortest.
$now = time();
$at = fn(int $time): string => gmdate('Y-m-d\TH:i:s\Z', $time);
$issued = $at($now);
$expiry = ['mandatory' => $at($now + (int)$mandatoryDays * 86400)];
$expiry['optional'] = $expiry['current'] = $at($now + (int)$days * 86400);
$answers = [];
foreach (ANSWER_CLASSES as $class) {
    $answer = answerDocument($description, $class, $expiry[$class], $issued, $installer);
    if (!openssl_sign($answer, $signature, $key, OPENSSL_ALGO_SHA256)) {
        refuse('openssl could not sign');
    }
    $slot = signatureValue($answer)[0];  // empty: where the signature goes
    $answers[$class] = substr($answer, 0, $slot) . base64_encode(p1363($signature))
        . substr($answer, $slot);
}
$signed = "$publisher,\n  \"signedAnswers\": "
    . json_encode($answers, JSON_PRETTY_PRINT | JSON_UNESCAPED_SLASHES | JSON_UNESCAPED_UNICODE)
    . "\n}\n";
// Beside the file, then renamed over it: nobody ever reads half a file.
$work = "$path.signing";
if (file_put_contents($work, $signed) !== strlen($signed) || !chmod($work, fileperms($path) & 0777)
    || !rename($work, $path)) {
    @unlink($work);
    refuse("$path could not be written");
}
echo "Signed $path on $issued: the mandatory answer expires on {$expiry['mandatory']}, the others on"
    . " {$expiry['current']}.\n";
