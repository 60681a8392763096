'use strict';
// The operator interface in a real browser against the running program with the Example source.
// The tests run in order on one page: each leaves the program as the next one expects it.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const {
  BASE_URL, launchBrowser, openInterface, getJson, unavailableReason, unavailableFor, request,
  waitFor, screenshot, pointIn, dragMouse,
} = require('./helpers');
const { startVmixStandIn, INPUT_KEY } = require('./vmix_stand_in');

const EMPTY = '—';
let browser;
let page;

async function tileValue(key) {
  return (await page.locator(`#tiles [data-key="${key}"] .value`).textContent()).trim();
}

async function showTab(name) {
  await page.click(`#tab-${name}`);
  await page.waitForSelector(`#panel-${name}:not([hidden])`);
}

// The state stream refuses connections until the program has analysed a frame of the source.
async function waitForStateStream() {
  await waitFor(async () => {
    const controller = new AbortController();
    try {
      const response = await fetch(new URL('/api/ui/state/stream', BASE_URL), { signal: controller.signal });
      return response.status === 200;
    } finally {
      controller.abort();
    }
  }, { timeout: 30000, interval: 500, what: 'the state stream to open' });
}

// The program starts with no source selected; the tests read the Example video.
async function exampleUnavailable() {
  const reason = await unavailableFor('PUT', '/api/source');
  return reason && `${reason}, so the Example source cannot be chosen`;
}

before(async () => {
  assert.ok(BASE_URL, 'TESSVARK_URL must name the running program');
  browser = await launchBrowser();
  if (!(await exampleUnavailable())) {
    const selected = await request('PUT', '/api/source', { type: 'example', id: 'example-1' });
    assert.equal(selected.status, 200, JSON.stringify(selected.body));
    await waitForStateStream();
  }
});

after(async () => {
  if (browser) await browser.close();
});

test('the page loads without script errors, console errors or CSP violations', async () => {
  const runtimeMissing = (await exampleUnavailable()) || (await unavailableReason('/api/status'));
  const opened = await openInterface(browser.context);
  page = opened.page;
  await page.waitForSelector('#tiles .tile');
  await page.waitForTimeout(3000);
  await screenshot(page, 'page-loaded');
  assert.deepEqual(opened.report.pageErrors, []);
  assert.deepEqual(opened.report.cspViolations, []);
  // While the program has no runtime yet, its 503 replies are logged by the browser itself.
  const unexpected = opened.report.consoleErrors.filter((text) => !(runtimeMissing && /status of 503/.test(text)));
  assert.deepEqual(unexpected, []);
  assert.match(await page.locator('#version-text').textContent(), /^v0\.8\.2/);
});

test('live values from the Example media appear with the time since their change', async (t) => {
  const reason = await exampleUnavailable();
  if (reason) { t.skip(reason); return; }
  await page.waitForFunction(() => document.getElementById('stream-text').textContent === 'Live', null, { timeout: 20000 });
  await waitFor(async () => (await tileValue('home')) !== EMPTY && (await tileValue('clock')) !== EMPTY,
    { what: 'home score and clock values' });
  assert.match(await tileValue('home'), /^\d+$/);
  assert.match(await tileValue('clock'), /^\d{1,2}[:.]\d{1,2}$/);
  assert.match(await page.locator('#tiles [data-key="home"] .since').textContent(), /^changed \d+/);
  assert.ok(await page.locator('#stream-down').isHidden());
  await page.waitForSelector('#source-img:not(.hidden)');
  await screenshot(page, 'live-values');
});

test('a zone drawn with the mouse is created through the API and its value appears', async (t) => {
  const reason = await unavailableReason('/api/zones');
  if (reason) { t.skip(reason); return; }
  await showTab('zones');
  await page.waitForSelector('#zone-img:not(.hidden)');
  const before = (await getJson('/api/zones')).body;
  const shots = before.find((z) => z.role === 'home_shots');
  assert.ok(shots, 'the Example source starts with a home shots zone');

  await page.click('button[aria-label="Delete Home Shots"]');
  await waitFor(async () => !(await getJson('/api/zones')).body.some((z) => z.role === 'home_shots'), { what: 'the zone to go' });
  await waitFor(async () => (await tileValue('home_shots')) === EMPTY, { what: 'home shots to empty' });

  const overlay = page.locator('#zone-overlay');
  await dragMouse(page, await pointIn(overlay, shots.x, shots.y),
    await pointIn(overlay, shots.x + shots.width, shots.y + shots.height));
  await page.waitForSelector('#draft-card:not(.hidden)');
  await page.selectOption('#draft-role', 'home_shots');
  await page.click('#draft-create');

  const created = await waitFor(async () => (await getJson('/api/zones')).body.find((z) => z.role === 'home_shots'),
    { what: 'the drawn zone in the API' });
  assert.ok(Math.abs(created.x - shots.x) < 0.01 && Math.abs(created.y - shots.y) < 0.01, JSON.stringify(created));
  assert.ok(Math.abs(created.width - shots.width) < 0.01 && Math.abs(created.height - shots.height) < 0.01, JSON.stringify(created));
  await waitFor(async () => (await tileValue('home_shots')) !== EMPTY, { timeout: 20000, what: 'the home shots value' });
  assert.match(await tileValue('home_shots'), /^\d+$/);
  await page.waitForSelector('#zone-previews figure[data-kind="crop"] img:not(.hidden)');
  await screenshot(page, 'zone-drawn');
});

test('zone processing set in the editor is saved and the processed preview follows', async (t) => {
  const reason = await unavailableReason('/api/zones');
  if (reason) { t.skip(reason); return; }
  await showTab('zones');
  await page.click('[data-zone-row="clock"] button');
  const processed = page.locator('#zone-previews figure[data-kind="processed-preview"] img');
  await page.waitForSelector('#zone-previews figure[data-kind="processed-preview"] img:not(.hidden)');
  const before = await processed.getAttribute('src');
  await page.locator('#proc-threshold').fill('90');
  const zone = await waitFor(async () => (await getJson('/api/zones')).body.find((z) => z.id === 'clock' && z.processing && z.processing.threshold === 90),
    { what: 'the new threshold in the API' });
  assert.equal(zone.role, 'clock');
  await waitFor(async () => (await processed.getAttribute('src')) !== before, { what: 'a new processed preview' });
});

test('zones can be reordered and empty values hidden', async (t) => {
  const reason = await unavailableReason('/api/zones/hide-empty');
  if (reason) { t.skip(reason); return; }
  await showTab('zones');
  const zones = (await getJson('/api/zones')).body;
  const ids = zones.map((z) => z.id);
  await page.click(`button[aria-label="Move ${zones[0].name} down"]`);
  await waitFor(async () => {
    const now = (await getJson('/api/zones')).body.map((z) => z.id);
    return now[0] === ids[1] && now[1] === ids[0];
  }, { what: 'the first two zones swapped' });

  await page.check('#hide-empty');
  await waitFor(async () => (await getJson('/api/zones/hide-empty')).body.enabled === true, { what: 'hide empty on' });
  await page.locator('#tiles [data-key="down"]').waitFor({ state: 'hidden' });
  assert.ok(await page.locator('#tiles [data-key="home"]').isVisible(), 'a value that is read stays');
  await page.uncheck('#hide-empty');
  await waitFor(async () => (await getJson('/api/zones/hide-empty')).body.enabled === false, { what: 'hide empty off' });
  await page.locator('#tiles [data-key="down"]').waitFor({ state: 'visible' });
});

test('the geometry corners can be dragged and saved', async (t) => {
  const reason = await unavailableReason('/api/source/geometry');
  if (reason) { t.skip(reason); return; }
  const original = (await getJson('/api/source/geometry')).body.points;
  const target = { x: Math.min(original.top_left.x + 0.04, 0.4), y: Math.min(original.top_left.y + 0.03, 0.4) };
  await showTab('source');
  await page.waitForSelector('#geometry-overlay:not(.hidden)');
  const overlay = page.locator('#geometry-overlay');
  const handle = page.locator('[data-corner="top_left"]');
  await handle.scrollIntoViewIfNeeded();
  const start = await handle.boundingBox();
  await dragMouse(page, { x: start.x + start.width / 2, y: start.y + start.height / 2 }, await pointIn(overlay, target.x, target.y));
  await page.click('#geometry-save');
  await page.waitForFunction(() => document.getElementById('geometry-msg').textContent === 'Corners saved.');
  const saved = (await getJson('/api/source/geometry')).body.points;
  assert.ok(Math.abs(saved.top_left.x - target.x) < 0.01 && Math.abs(saved.top_left.y - target.y) < 0.01, JSON.stringify(saved));
  assert.deepEqual(saved.bottom_right, original.bottom_right);
  await screenshot(page, 'geometry-saved');

  const restored = await request('PUT', '/api/source/geometry', { points: original });
  assert.equal(restored.status, 200);
});

test('corners and zones can be moved with the keyboard alone', async (t) => {
  const reason = await unavailableReason('/api/source/geometry');
  if (reason) { t.skip(reason); return; }
  const original = (await getJson('/api/source/geometry')).body.points;
  await showTab('source');
  await page.focus('[data-corner="top_right"]');
  for (let i = 0; i < 3; i += 1) await page.keyboard.press('Shift+ArrowLeft');
  await page.focus('#geometry-save');
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => document.getElementById('geometry-msg').textContent === 'Corners saved.');
  const saved = (await getJson('/api/source/geometry')).body.points;
  assert.ok(Math.abs(saved.top_right.x - (original.top_right.x - 0.06)) < 0.001, JSON.stringify(saved));
  assert.equal((await request('PUT', '/api/source/geometry', { points: original })).status, 200);

  await showTab('zones');
  const clock = (await getJson('/api/zones')).body.find((z) => z.id === 'clock');
  await page.focus('[data-zone-row="clock"] button');
  await page.keyboard.press('Enter');
  await page.keyboard.press('ArrowRight');
  await waitFor(async () => {
    const moved = (await getJson('/api/zones')).body.find((z) => z.id === 'clock');
    return Math.abs(moved.x - (clock.x + 0.002)) < 0.0005 && Math.abs(moved.y - clock.y) < 0.0005;
  }, { what: 'the clock zone one step to the right' });
});

test('the sport can be changed and zones offer only its fields', async (t) => {
  const reason = await unavailableReason('/api/sports/catalog');
  if (reason) { t.skip(reason); return; }
  const catalog = (await getJson('/api/sports/catalog')).body;
  const sport = catalog.sports.find((s) => s.code === 'basketball');
  assert.ok(sport, 'the bundled catalog lists basketball');
  await showTab('sport');
  await page.selectOption('#sport-select', 'basketball');
  await page.click('#sport-apply');
  await page.waitForFunction(() => document.getElementById('sport-msg').textContent.startsWith('Sport set to'));
  assert.equal((await getJson('/api/sports/selection')).body.selected_sport, 'basketball');

  const allowed = new Set(sport.definitions.filter((d) => d.ocr.available).map((d) => d.ocr.role));
  await showTab('zones');
  await page.click('#zone-add');
  const offered = await page.locator('#draft-role option').evaluateAll((options) => options.map((o) => o.value));
  assert.ok(offered.every((role) => allowed.has(role)), `offered ${offered} outside ${[...allowed]}`);
  await page.click('#draft-cancel');
  await showTab('sport');
  await screenshot(page, 'sport-changed');
});

test('the display format changes how the period is shown', async (t) => {
  const reason = await unavailableReason('/api/display-format');
  if (reason) { t.skip(reason); return; }
  await waitFor(async () => /^\d$/.test(await tileValue('period')), { what: 'a period read from the board' });
  const period = await tileValue('period');
  await showTab('sport');
  await page.fill(`[aria-label="Period ${period} shown as"]`, `P${period}`);
  await page.click('#format-save');
  await page.waitForFunction(() => document.getElementById('format-msg').textContent === 'Display format saved.');
  const stored = (await getJson('/api/display-format')).body;
  assert.deepEqual(stored.period.find((row) => row.ocr === period), { ocr: period, display: `P${period}` });
  await waitFor(async () => (await tileValue('period')) === `P${period}`, { what: 'the period shown in its new form' });
});

test('a vMix configuration is saved and tested against the vMix stand-in', async (t) => {
  const reason = await unavailableReason('/api/v1/outputs/vmix');
  if (reason) { t.skip(reason); return; }
  const vmix = await startVmixStandIn();
  t.after(() => vmix.close());
  await showTab('vmix');
  await page.fill('#vmix-host', '127.0.0.1');
  await page.fill('#vmix-port', String(vmix.port));

  await page.click('#vmix-test');
  await page.waitForFunction(() => document.getElementById('vmix-msg').textContent.includes('vMix detected'));
  assert.match(await page.locator('#vmix-msg').textContent(), /27\.0\.0\.49/);

  await page.click('#vmix-discover');
  await page.click('button[aria-label="Map fields of Scoreboard.gtzip"]');
  await page.click('#vmix-save');
  await page.waitForFunction(() => document.getElementById('vmix-msg').textContent === 'vMix settings saved.');
  const config = (await getJson('/api/v1/outputs/vmix')).body.config;
  assert.equal(config.host, '127.0.0.1');
  assert.equal(config.port, vmix.port);
  assert.equal(config.outputs.length, 1);
  assert.equal(config.outputs[0].input_key, INPUT_KEY);
  assert.deepEqual(config.outputs[0].mappings.find((m) => m.field === 'Home.Text'), { source: 'home_score', field: 'Home.Text' });

  await waitFor(() => vmix.calls.find((c) => c.function === 'SetText' && c.input === INPUT_KEY && c.field === 'Home.Text'),
    { what: 'a SetText call for Home.Text' });
  await page.waitForSelector('#vmix-mapping-rows .badge.ok', { timeout: 10000 });
  await screenshot(page, 'vmix-saved');

  await page.uncheck('#vmix-switch');
  await waitFor(async () => (await getJson('/api/v1/outputs')).body.enabled.vmix === false, { what: 'the output switch off' });
  await page.waitForFunction(() => document.getElementById('vmix-connection').textContent === 'Output off');
});

test('a refused request shows its message where it was made', async (t) => {
  const reason = await unavailableFor('PUT', '/api/source/srt');
  if (reason) { t.skip(reason); return; }
  await showTab('source');
  await page.fill('#srt-passphrase', 'short');
  await page.click('#srt-save');
  const message = page.locator('#srt-msg');
  await page.waitForFunction(() => document.getElementById('srt-msg').className === 'msg error');
  assert.equal(await message.textContent(), 'SRT passphrase must be empty or 10 to 80 bytes');
  await screenshot(page, 'refused-request');
});

test('the interface shows when the state stream is down and reconnects by itself', async (t) => {
  const reason = await exampleUnavailable();
  if (reason) { t.skip(reason); return; }
  await showTab('source');
  await page.check('input[name=source][value="none:"]');
  await page.waitForSelector('#stream-down:not(.hidden)', { timeout: 15000 });
  assert.equal(await page.locator('#stream-text').textContent(), 'Stream down');
  await screenshot(page, 'stream-down');

  // The program refuses the stream (503) while no source is selected; once one is chosen, the
  // page must come back without any help.
  await page.check('input[name=source][value="example:example-1"]');
  await waitFor(async () => (await getJson('/api/status')).body.source_id === 'example-1', { what: 'the Example source' });
  await page.waitForFunction(() => document.getElementById('stream-text').textContent === 'Live', null, { timeout: 30000 });
  assert.ok(await page.locator('#stream-down').isHidden());
});
