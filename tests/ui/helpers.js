'use strict';
// Shared pieces of the browser tests: the browser, the program's address and API probes.
const dgram = require('node:dgram');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { chromium } = require('playwright-core');

const BASE_URL = process.env.TESSVARK_URL;
const SCREENSHOT_DIR = path.resolve(__dirname, '../../build/ui-screenshots');
const NOT_AVAILABLE = 'This local function is not available in the native prototype.';

// How long a test waits for the page, the program or a stand-in before it calls the wait a failure.
// Generous on purpose: every wait ends as soon as its condition holds, so only a slow, busy
// machine (two cores and neighbours) ever waits long. Never a measure of speed.
const PATIENCE_MS = 60000;

const CHROMIUM_ARGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
  '--disable-component-update', '--disable-sync', '--no-first-run', '--disable-quic'];

async function launchBrowser() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'tessvark-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium', headless: true, args: CHROMIUM_ARGS,
    viewport: { width: 1280, height: 720 },
  });
  // Every wait of a page (selectors, functions, requests, navigation) gets the same patience.
  context.setDefaultTimeout(PATIENCE_MS);
  return {
    context,
    close: async () => { await context.close(); fs.rmSync(profile, { recursive: true, force: true }); },
  };
}

// Opens the interface (of the shared program unless another address is given) in a fresh page
// that records script errors, console errors and Content-Security-Policy violations. With
// `clock`, the page's timers run on a clock the test can pause.
async function openInterface(context, url = BASE_URL, { clock = false } = {}) {
  const page = await context.newPage();
  if (clock) await page.clock.install();
  const report = { consoleErrors: [], pageErrors: [], cspViolations: [] };
  page.on('console', (message) => { if (message.type() === 'error') report.consoleErrors.push(message.text()); });
  page.on('pageerror', (error) => report.pageErrors.push(error.message));
  await page.exposeFunction('reportCspViolation', (text) => report.cspViolations.push(text));
  await page.addInitScript(() => {
    document.addEventListener('securitypolicyviolation', (event) => {
      window.reportCspViolation(`${event.violatedDirective} ${event.blockedURI}`);
    });
  });
  await page.goto(url);
  return { page, report };
}

async function getJson(route) {
  const response = await fetch(new URL(route, BASE_URL));
  const text = await response.text();
  let body = null;
  try { body = JSON.parse(text); } catch (error) { body = text; }
  return { status: response.status, body };
}

// The reason to skip a test while the program does not serve a route yet, or null.
async function unavailableReason(route) {
  const { status, body } = await getJson(route);
  if (status === 503 && body && body.detail === NOT_AVAILABLE) {
    return `${route} still answers 503 "${NOT_AVAILABLE}"`;
  }
  return null;
}

async function waitFor(check, { timeout = PATIENCE_MS, interval = 250, what = 'condition' } = {}) {
  const end = Date.now() + timeout;
  let last;
  while (Date.now() < end) {
    last = await check();
    if (last) return last;
    await new Promise((resolve) => setTimeout(resolve, interval));
  }
  throw new Error(`timed out waiting for ${what}`);
}

async function screenshot(page, name) {
  fs.mkdirSync(SCREENSHOT_DIR, { recursive: true });
  await page.screenshot({ path: path.join(SCREENSHOT_DIR, `${name}.png`) });
}

// Where a fraction of an element's box lies in the viewport, once the element is in view.
async function pointIn(locator, fx, fy) {
  await locator.scrollIntoViewIfNeeded();
  const box = await locator.boundingBox();
  return { x: box.x + fx * box.width, y: box.y + fy * box.height };
}

async function dragMouse(page, from, to) {
  await page.mouse.move(from.x, from.y);
  await page.mouse.down();
  for (let i = 1; i <= 8; i += 1) {
    await page.mouse.move(from.x + ((to.x - from.x) * i) / 8, from.y + ((to.y - from.y) * i) / 8);
  }
  await page.mouse.up();
}

// axe-core's checks of the page as it stands, injected from the npm package (the page's
// Content-Security-Policy allows inline scripts); the violations as "rule: target, ..." texts.
const AXE_SOURCE = fs.readFileSync(require.resolve('axe-core/axe.min.js'), 'utf8');

async function axeViolations(page, rules) {
  if (!(await page.evaluate(() => typeof window.axe === 'object'))) {
    await page.addScriptTag({ content: AXE_SOURCE });
  }
  const result = await page.evaluate(async (only) => {
    const options = only ? { runOnly: { type: 'rule', values: only } } : {};
    const outcome = await window.axe.run(document, options);
    return outcome.violations.map((v) => `${v.id} (${v.impact}): ${v.nodes.map((n) => n.target.join(' ')).join(', ')}`);
  }, rules || null);
  return result;
}

module.exports = {
  BASE_URL, PATIENCE_MS, launchBrowser, openInterface, getJson, unavailableReason, waitFor, screenshot, pointIn, dragMouse,
  axeViolations,
};

// Sends one request as the interface would: from its origin, with the token of its page.
async function request(method, route, body) {
  const page = await (await fetch(BASE_URL)).text();
  const token = /const CSRF_TOKEN = '([A-Za-z0-9_-]{43})'/.exec(page);
  const headers = { Origin: new URL(BASE_URL).origin, 'X-Tessvark-CSRF': token ? token[1] : '' };
  const init = { method, headers };
  if (body !== undefined) {
    headers['Content-Type'] = 'application/json';
    init.body = typeof body === 'string' ? body : JSON.stringify(body);
  }
  const response = await fetch(new URL(route, BASE_URL), init);
  const text = await response.text();
  let json = null;
  try { json = JSON.parse(text); } catch (error) { json = null; }
  return { status: response.status, body: json };
}

// As unavailableReason, for a route that only changes state: an empty body is refused before
// anything changes, or answered 503 while the route is not served yet.
async function unavailableFor(method, route) {
  const { status, body } = await request(method, route, '');
  if (status === 503 && body && body.detail === NOT_AVAILABLE) {
    return `${method} ${route} still answers 503 "${NOT_AVAILABLE}"`;
  }
  return null;
}

module.exports.request = request;
module.exports.unavailableFor = unavailableFor;

// Shows one of the page's tabs and waits until its panel is on screen.
async function showTab(page, name) {
  await page.click(`#tab-${name}`);
  await page.waitForSelector(`#panel-${name}:not([hidden])`);
}

// A UDP port on loopback that nothing listens on, or, with `hold`, one kept busy until released.
async function loopbackUdpPort(hold) {
  const socket = dgram.createSocket('udp4');
  await new Promise((resolve, reject) => { socket.once('error', reject); socket.bind(0, '127.0.0.1', resolve); });
  const { port } = socket.address();
  const release = () => new Promise((resolve) => socket.close(resolve));
  if (!hold) await release();
  return { port, release };
}

module.exports.showTab = showTab;
module.exports.loopbackUdpPort = loopbackUdpPort;
