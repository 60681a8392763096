'use strict';
// The System tab's updates against an instance of the program of its own, pointed at a scripted
// update server on 127.0.0.1 whose certificate authority and signing key are made here.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { execFileSync, spawn } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const https = require('node:https');
const os = require('node:os');
const path = require('node:path');
const { PATIENCE_MS, launchBrowser, openInterface, waitFor, screenshot } = require('./helpers');

const PROGRAM = process.env.TESSVARK_PROGRAM;
const MANIFEST_PATH = '/updates/linux-update.json';

let work;
let browser;
let server;
let program;
let exited;
const signing = crypto.generateKeyPairSync('ed25519');
// What the update server answers, by path; every request is counted.
const served = new Map();
const hits = new Map();

// A certificate authority and a server certificate for 127.0.0.1 that it signed.
function makeCertificates(folder) {
  const openssl = (...args) => execFileSync('openssl', args, { cwd: folder, stdio: 'pipe' });
  const ec = ['-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes'];
  openssl('req', '-x509', ...ec, '-keyout', 'ca.key', '-out', 'ca.pem', '-days', '1',
    '-subj', '/CN=Tessvark interface test authority',
    '-addext', 'basicConstraints=critical,CA:TRUE', '-addext', 'keyUsage=critical,keyCertSign');
  openssl('req', ...ec, '-keyout', 'server.key', '-out', 'server.csr', '-subj', '/CN=Tessvark test update server');
  fs.writeFileSync(path.join(folder, 'server.ext'),
    'subjectAltName=IP:127.0.0.1\nbasicConstraints=critical,CA:FALSE\nextendedKeyUsage=serverAuth\n');
  openssl('x509', '-req', '-in', 'server.csr', '-CA', 'ca.pem', '-CAkey', 'ca.key', '-set_serial', '2',
    '-days', '1', '-extfile', 'server.ext', '-out', 'server.pem');
  return { ca: path.join(folder, 'ca.pem'), key: path.join(folder, 'server.key'), cert: path.join(folder, 'server.pem') };
}

// The signed manifest of `build` for `installer`, signed over the payload the program rebuilds.
function signedManifest(version, build, installer, url) {
  const fields = {
    build, channel: 'beta', notes: 'Reads shot clocks faster', platform: 'linux-x64', schema: 1,
    sha256: crypto.createHash('sha256').update(installer).digest('hex'), size: installer.length, url, version,
  };
  const payload = Buffer.concat([Buffer.from('tessvark.linux-update.v1\0'), Buffer.from(JSON.stringify(fields))]);
  const signature = crypto.sign(null, payload, signing.privateKey).toString('base64');
  return JSON.stringify({ ...fields, signature });
}

function startUpdateServer(certificates) {
  const options = { key: fs.readFileSync(certificates.key), cert: fs.readFileSync(certificates.cert) };
  const httpsServer = https.createServer(options, (req, res) => {
    hits.set(req.url, (hits.get(req.url) || 0) + 1);
    const body = served.get(req.url);
    res.writeHead(body === undefined ? 404 : 200, { 'Content-Type': 'application/octet-stream' });
    res.end(body === undefined ? '' : body);
  });
  return new Promise((resolve) => httpsServer.listen(0, '127.0.0.1', () => resolve(httpsServer)));
}

function publicKeyBase64() {
  const jwk = signing.publicKey.export({ format: 'jwk' });
  return Buffer.from(jwk.x, 'base64url').toString('base64');
}

// Starts the program on folders of its own; resolves with its address once it listens.
async function startProgram(channelFile) {
  const base = fs.mkdtempSync(path.join(work, 'program-'));
  const folders = {};
  for (const name of ['runtime', 'data', 'tmp']) {
    folders[name] = path.join(base, name);
    fs.mkdirSync(folders[name], { mode: 0o700 });
  }
  const env = { ...process.env, XDG_RUNTIME_DIR: folders.runtime, TMPDIR: folders.tmp, TESSVARK_TEST_UPDATE_CHANNEL: channelFile };
  delete env.DISPLAY;
  delete env.WAYLAND_DISPLAY;
  const port = String(31000 + (process.pid % 900) * 10);
  program = spawn(PROGRAM, ['--no-browser', '--config', folders.data, '--preferred', port], { env, stdio: ['ignore', 'ignore', 'pipe'] });
  let stderr = '';
  program.stderr.on('data', (chunk) => { stderr += chunk; });
  exited = new Promise((resolve) => program.on('exit', (code, signal) => resolve({ code, signal, stderr })));
  const urlFile = path.join(folders.data, 'tessvark-url');
  await waitFor(() => fs.existsSync(urlFile) && fs.readFileSync(urlFile, 'utf8'), { what: `the program's address (${stderr})` });
  return fs.readFileSync(urlFile, 'utf8');
}

// Ends the program started last and waits until it has.
async function stopProgram() {
  if (program && program.exitCode === null && program.signalCode === null) {
    program.kill('SIGTERM');
    await exited;
  }
}

async function updateText(page) {
  return (await page.locator('#update-text').textContent()).trim();
}

// A channel file pointing the program at the tests' update server; the periodic check is an hour
// away, so only the checks the page asks for run.
function writeChannel(name, certificates, changes = {}) {
  const file = path.join(work, name);
  fs.writeFileSync(file, JSON.stringify({
    host: '127.0.0.1', port: server.address().port, ca_file: certificates.ca, public_key: publicKeyBase64(), first_check_ms: 3600000,
    ...changes,
  }));
  return file;
}

before(async () => {
  assert.ok(PROGRAM, 'TESSVARK_PROGRAM must name the program');
  work = fs.mkdtempSync(path.join(os.tmpdir(), 'tessvark-ui-updates-'));
  const certificates = makeCertificates(work);
  server = await startUpdateServer(certificates);
  writeChannel('channel.json', certificates);
  // A build given no update key, as this tree builds by default.
  writeChannel('unconfigured.json', certificates, { public_key: '' });
  browser = await launchBrowser();
});

after(async () => {
  if (program && program.exitCode === null && program.signalCode === null) program.kill('SIGTERM');
  if (browser) await browser.close();
  if (server) server.close();
  if (work) fs.rmSync(work, { recursive: true, force: true });
});

test('the System tab finds, downloads and installs a signed update', async () => {
  const url = await startProgram(path.join(work, 'channel.json'));
  const version = await (await fetch(new URL('/api/version', url))).json();
  const build = version.build + 1;
  const record = path.join(work, 'installer-ran');
  const installer = Buffer.from(`#!/bin/sh\necho ran > '${record}'\n`);
  const installerPath = `/updates/Tessvark-update-${build}.run`;
  served.set(MANIFEST_PATH, signedManifest(version.version, build, installer, `https://127.0.0.1${installerPath}`));
  // First an installer that does not match what was signed.
  served.set(installerPath, Buffer.concat([installer, Buffer.from('#')]));

  const { page, report } = await openInterface(browser.context, url);
  await page.click('#tab-system');
  await page.waitForSelector('#panel-system:not([hidden])');
  await waitFor(async () => /not checked yet/.test(await updateText(page)), { what: 'the state before any check' });
  assert.ok(await page.locator('#update-download').isDisabled());
  assert.ok(await page.locator('#update-install').isDisabled());

  await page.click('#update-check');
  await waitFor(async () => /update available/.test(await updateText(page)), { what: 'the announced update' });
  const list = page.locator('#update-list');
  assert.match(await list.textContent(), new RegExp(`${version.version} \\(build ${build}\\)`));
  assert.match(await list.textContent(), /Reads shot clocks faster/);
  assert.ok(await page.locator('#update-download').isEnabled());
  assert.ok(await page.locator('#update-install').isDisabled());

  await page.click('#update-download');
  await waitFor(async () => /did not match its signed size and checksum/.test(await list.textContent()),
    { what: 'the refused installer' });
  assert.match(await updateText(page), /update available/);
  assert.ok(await page.locator('#update-download').isEnabled(), 'the download is offered again');
  assert.ok(await page.locator('#update-install').isDisabled());

  served.set(installerPath, installer);
  await page.click('#update-download');
  await waitFor(async () => /ready to install/.test(await updateText(page)), { what: 'the verified installer' });
  assert.match(await list.textContent(), /downloaded and verified/);
  assert.ok(await page.locator('#update-install').isEnabled());
  assert.ok(await page.locator('#update-download').isDisabled());
  await screenshot(page, 'system-update-ready');

  await page.click('#update-install');
  const ended = await Promise.race([exited, new Promise((resolve, reject) => {
    setTimeout(() => reject(new Error('the program did not end after the installer started')), PATIENCE_MS).unref();
  })]);
  assert.deepEqual([ended.code, ended.signal], [0, null], ended.stderr);
  await waitFor(() => fs.existsSync(record) && fs.readFileSync(record, 'utf8') === 'ran\n', { what: 'the installer to run' });
  await waitFor(async () => /the installer is running/.test(await updateText(page)), { what: 'the page to tell the program has closed' });
  assert.equal(hits.get(MANIFEST_PATH), 1);
  assert.equal(hits.get(installerPath), 2);
  assert.deepEqual(report.pageErrors, []);
  assert.deepEqual(report.cspViolations, []);
  await page.close();
});

// The message of a check gives way to its outcome once the state has settled, also when the check
// ended before the page first looked again.
test('a check that fails shows its outcome, not that it is still checking', async () => {
  await stopProgram();
  const url = await startProgram(path.join(work, 'channel.json'));
  served.delete(MANIFEST_PATH);
  const { page, report } = await openInterface(browser.context, url);
  await page.click('#tab-system');
  await page.waitForSelector('#panel-system:not([hidden])');
  const message = page.locator('#update-msg');
  for (let round = 0; round < 2; round++) {
    const before = hits.get(MANIFEST_PATH) || 0;
    await page.click('#update-check');
    await waitFor(async () => /could not be reached/.test(await message.textContent()), { what: `the failed check's outcome (round ${round})` });
    assert.match(await updateText(page), /check failed/);
    assert.doesNotMatch(await message.textContent(), /Checking/);
    assert.equal(hits.get(MANIFEST_PATH), before + 1);
  }
  assert.deepEqual(report.pageErrors, []);
  await page.close();
  await stopProgram();
});

test('a build without an update server says so', async () => {
  const before = hits.get(MANIFEST_PATH) || 0;
  const url = await startProgram(path.join(work, 'unconfigured.json'));
  const { page, report } = await openInterface(browser.context, url);
  await page.click('#tab-system');
  await page.waitForSelector('#panel-system:not([hidden])');
  await page.click('#update-check');
  await waitFor(async () => /no update server configured/.test(await updateText(page)), { what: 'the unconfigured build' });
  await waitFor(async () => /no update server configured/.test(await page.locator('#update-msg').textContent()), { what: 'the outcome' });
  const list = await page.locator('#update-list').textContent();
  assert.doesNotMatch(list, /could not be reached|check failed/);
  assert.equal(hits.get(MANIFEST_PATH) || 0, before, 'no request reached any server');
  assert.deepEqual(report.pageErrors, []);
  await screenshot(page, 'system-no-update-server');
  await page.close();
  await stopProgram();
});
