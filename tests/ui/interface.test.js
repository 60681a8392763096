'use strict';
// The operator interface in a real browser against the running program, which starts fresh (no
// source, no vMix host); the first test picks the Example video in the page.
// The tests run in order on one page: each leaves the program as the next one expects it.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const {
  BASE_URL, launchBrowser, openInterface, getJson, unavailableReason, unavailableFor, request,
  waitFor, screenshot, pointIn, dragMouse,
  showTab, loopbackUdpPort,
} = require('./helpers');
const { startVmixStandIn, INPUT_KEY } = require('./vmix_stand_in');

const EMPTY = '—';
let browser;
let page;

async function tileValue(key) {
  return (await page.locator(`#tiles [data-key="${key}"] .value`).textContent()).trim();
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
  }, { interval: 500, what: 'the state stream to open' });
}

// The program starts with no source selected; the tests read the Example video.
async function exampleUnavailable() {
  const reason = await unavailableFor('PUT', '/api/source');
  return reason && `${reason}, so the Example source cannot be chosen`;
}

async function selectExampleThroughApi() {
  const selected = await request('PUT', '/api/source', { type: 'example', id: 'example-1' });
  assert.equal(selected.status, 200, JSON.stringify(selected.body));
  await waitForStateStream();
}

before(async () => {
  assert.ok(BASE_URL, 'TESSVARK_URL must name the running program');
  browser = await launchBrowser();
});

after(async () => {
  if (browser) await browser.close();
});

test('a fresh program shows neutral states, not alarms, and the first source is followed at once', async (t) => {
  const runtimeMissing = (await exampleUnavailable()) || (await unavailableReason('/api/status'));
  const opened = await openInterface(browser.context, BASE_URL, { clock: true });
  page = opened.page;
  await page.waitForSelector('#tiles .tile');
  if (runtimeMissing) { t.skip(runtimeMissing); return; }
  assert.equal((await getJson('/api/status')).body.source_type, 'none', 'the program starts without a source');

  // Nothing is wrong yet: no source chosen and no vMix host set are states, not faults.
  await page.waitForFunction(() => document.getElementById('stream-text').textContent === 'No source selected');
  await page.waitForFunction(() => document.getElementById('vmix-text').textContent === 'vMix output not set up');
  assert.ok(await page.locator('#stream-down').isHidden());
  for (const light of ['#stream-dot', '#signal-dot', '#vmix-dot']) {
    assert.equal(await page.locator(light).getAttribute('class'), 'dot', `${light} is neutral`);
  }
  await showTab(page, 'vmix');
  await page.waitForFunction(() => document.getElementById('vmix-connection').textContent === 'Not set up');
  assert.doesNotMatch(await page.locator('#panel-vmix').textContent(), /vMix host is required/);
  await screenshot(page, 'fresh-program');

  // Choosing the source connects the state stream at once: with the page's timers stopped, no
  // retry or poll can be what opens it.
  await showTab(page, 'source');
  await page.clock.pauseAt(Date.now() + 1000);
  const streamRequested = page.waitForRequest((r) => new URL(r.url()).pathname === '/api/ui/state/stream');
  await page.check('input[name=source][value="example:example-1"]');
  await page.click('#source-use');
  await streamRequested;
  await page.clock.resume();
  await page.waitForFunction(() => document.getElementById('stream-text').textContent === 'Live');

  assert.deepEqual(opened.report.pageErrors, []);
  assert.deepEqual(opened.report.cspViolations, []);
  // The stream refused while no source was chosen is logged by the browser itself.
  const unexpected = opened.report.consoleErrors.filter((text) => !/status of 503/.test(text));
  assert.deepEqual(unexpected, []);
  assert.match(await page.locator('#version-text').textContent(), /^v0\.8\.2/);
});

test('live values from the Example media appear with the time since their change', async (t) => {
  const reason = await exampleUnavailable();
  if (reason) { t.skip(reason); return; }
  await page.waitForFunction(() => document.getElementById('stream-text').textContent === 'Live');
  await waitFor(async () => (await tileValue('home')) !== EMPTY && (await tileValue('clock')) !== EMPTY,
    { what: 'home score and clock values' });
  assert.match(await tileValue('home'), /^\d+$/);
  assert.match(await tileValue('clock'), /^\d{1,2}[:.]\d{1,2}$/);
  assert.match(await page.locator('#tiles [data-key="home"] .since').textContent(), /^changed \d+/);
  assert.ok(await page.locator('#stream-down').isHidden());
  await page.waitForSelector('#source-img:not(.hidden)');
  await screenshot(page, 'live-values');

  // Screen readers hear the scores, politely and without the running clock.
  const announcer = page.locator('#live-announcer');
  assert.equal(await announcer.getAttribute('aria-live'), 'polite');
  await waitFor(async () => /^Home \d+, Guest \d+/.test(await announcer.textContent()), { what: 'the scores announced' });
  assert.doesNotMatch(await announcer.textContent(), /\d[:.]\d\d/);
});

test('an empty value tells why it is empty, on its tile and in the zone list', async (t) => {
  const reason = await unavailableReason('/api/zones');
  if (reason) { t.skip(reason); return; }
  const shots = (await getJson('/api/zones')).body.find((z) => z.role === 'home_shots');
  assert.ok(shots, 'the Example source starts with a home shots zone');
  // Moved onto the blank board beside the score, the zone finds no digit: the board is blank there.
  const moved = await request('PUT', '/api/zones/home_shots', { x: 0.005, y: 0.45, width: 0.05, height: 0.1 });
  assert.equal(moved.status, 200, JSON.stringify(moved.body));
  t.after(() => request('PUT', '/api/zones/home_shots', { x: shots.x, y: shots.y, width: shots.width, height: shots.height }));
  await waitFor(async () => (await getJson('/api/status')).body.readings.home_shots === 'empty',
    { what: 'the reading of the moved zone' });
  const since = page.locator('#tiles [data-key="home_shots"] .since');
  await waitFor(async () => (await tileValue('home_shots')) === EMPTY && (await since.textContent()) === 'blank',
    { what: 'the reason on the home shots tile' });
  await showTab(page, 'zones');
  await waitFor(async () => (await page.locator('[data-zone-row="home_shots"] .zone-value').textContent()) === `${EMPTY}blank`,
    { what: 'the reason in the zone list' });
  // A field without any zone says so.
  assert.equal(await page.locator('#tiles [data-key="ball_on"] .since').textContent(), 'no zone');
});

test('a zone drawn with the mouse is created through the API and its value appears', async (t) => {
  const reason = await unavailableReason('/api/zones');
  if (reason) { t.skip(reason); return; }
  await showTab(page, 'zones');
  await page.waitForSelector('#zone-img:not(.hidden)');
  const before = (await getJson('/api/zones')).body;
  const shots = before.find((z) => z.role === 'home_shots');
  assert.ok(shots, 'the Example source starts with a home shots zone');

  // One click only asks; "Keep" leaves the zone, the confirmation deletes it.
  const deletions = [];
  const noteDeletion = (r) => { if (r.method() === 'DELETE') deletions.push(r.url()); };
  page.on('request', noteDeletion);
  await page.click('button[aria-label="Delete Home Shots"]');
  await page.waitForSelector('button[aria-label="Confirm delete Home Shots"]');
  await page.click('button[aria-label="Keep Home Shots"]');
  await page.waitForSelector('button[aria-label="Delete Home Shots"]');
  assert.deepEqual(deletions, []);
  assert.ok((await getJson('/api/zones')).body.some((z) => z.role === 'home_shots'), 'the zone is kept');
  page.off('request', noteDeletion);
  await page.click('button[aria-label="Delete Home Shots"]');
  await page.click('button[aria-label="Confirm delete Home Shots"]');
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
  await waitFor(async () => (await tileValue('home_shots')) !== EMPTY, { what: 'the home shots value' });
  assert.match(await tileValue('home_shots'), /^\d+$/);
  await page.waitForSelector('#zone-previews figure[data-kind="crop"] img:not(.hidden)');
  await screenshot(page, 'zone-drawn');
});

test('zone processing set in the editor is saved and the processed preview follows', async (t) => {
  const reason = await unavailableReason('/api/zones');
  if (reason) { t.skip(reason); return; }
  await showTab(page, 'zones');
  await page.click('[data-zone-row="clock"] button');
  const processed = page.locator('#zone-previews figure[data-kind="processed-preview"] img');
  await page.waitForSelector('#zone-previews figure[data-kind="processed-preview"] img:not(.hidden)');
  const before = await processed.getAttribute('src');
  await page.locator('#proc-threshold').fill('90');
  const zone = await waitFor(async () => (await getJson('/api/zones')).body.find((z) => z.id === 'clock' && z.processing && z.processing.threshold === 90),
    { what: 'the new threshold in the API' });
  assert.equal(zone.role, 'clock');
  await waitFor(async () => (await processed.getAttribute('src')) !== before, { what: 'a new processed preview' });

  // Invert is named by what it is for; grey scale is a fact of the reader, not a switch.
  assert.equal(await page.locator('label[for="proc-invert"]').textContent(), 'Invert (dark digits on a light board)');
  assert.equal(await page.locator('#processing-form input#proc-grayscale').count(), 0);
  assert.equal(await page.locator('#proc-grayscale').textContent(), 'always on');
});

// Fraction of the area of box a that box b covers.
function overlap(a, b) {
  const w = Math.min(a.x + a.width, b.x + b.width) - Math.max(a.x, b.x);
  const h = Math.min(a.y + a.height, b.y + b.height) - Math.max(a.y, b.y);
  return w > 0 && h > 0 ? (w * h) / (a.width * a.height) : 0;
}

test('zone labels stay apart on the picture and tile labels are never cut off', async () => {
  await showTab(page, 'zones');
  await page.waitForSelector('#zone-img:not(.hidden)');
  const tags = await page.locator('#zone-overlay .zone:not(.draft)').evaluateAll((zones) => zones.map((zone) => {
    const box = (node) => { const r = node.getBoundingClientRect(); return { x: r.x, y: r.y, width: r.width, height: r.height }; };
    return { zone: box(zone), tag: box(zone.querySelector('.tag')), text: zone.querySelector('.tag').textContent };
  }));
  assert.ok(tags.length >= 5, `${tags.length} zones drawn`);
  for (const [i, a] of tags.entries()) {
    assert.ok(a.tag.width > 0 && overlap(a.tag, a.zone) > 0.99, `${a.text} stays inside its zone`);
    for (const b of tags.slice(i + 1)) assert.equal(overlap(a.tag, b.tag), 0, `${a.text} and ${b.text} overlap`);
  }

  for (const width of [1920, 1280]) {
    await page.setViewportSize({ width, height: width === 1920 ? 1080 : 720 });
    const cut = await page.locator('#tiles .tile .label').evaluateAll((labels) => labels
      .filter((l) => l.scrollWidth > l.clientWidth + 1 || l.scrollHeight > l.clientHeight + 1).map((l) => l.textContent));
    assert.deepEqual(cut, [], `labels cut off at ${width} px`);
  }
});

function luminance(rgb) {
  const [r, g, b] = rgb.match(/\d+/g).slice(0, 3).map((v) => {
    const c = Number(v) / 255;
    return c <= 0.03928 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4;
  });
  return 0.2126 * r + 0.7152 * g + 0.0722 * b;
}

test('the page has its landmarks, readable buttons and a keyboard order that starts with the source', async () => {
  assert.equal(await page.locator('main').count(), 1);
  assert.equal(await page.locator('h1').count(), 1);
  assert.equal(await page.getByRole('heading', { level: 1, name: 'Tessvark' }).count(), 1);
  const colours = await page.locator('button.primary').evaluateAll((buttons) => buttons
    .map((b) => [getComputedStyle(b).color, getComputedStyle(b).backgroundColor]));
  assert.ok(colours.length >= 3);
  for (const [text, background] of colours) {
    const [light, dark] = [luminance(text), luminance(background)].sort((a, b) => b - a);
    assert.ok((light + 0.05) / (dark + 0.05) >= 4.5, `contrast of ${text} on ${background}`);
  }

  await showTab(page, 'source');
  await page.focus('#tab-source');
  await page.keyboard.press('Tab');
  const first = await page.evaluate(() => ({
    inSources: !!document.activeElement.closest('#source-list'),
    corner: !!document.activeElement.closest('[data-corner]'),
  }));
  assert.deepEqual(first, { inSources: true, corner: false }, 'focus goes from the tabs to the source list');
});

test('zones can be reordered and empty values hidden', async (t) => {
  const reason = await unavailableReason('/api/zones/hide-empty');
  if (reason) { t.skip(reason); return; }
  await showTab(page, 'zones');
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
  await showTab(page, 'source');
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
  await showTab(page, 'source');
  await page.focus('[data-corner="top_right"]');
  for (let i = 0; i < 3; i += 1) await page.keyboard.press('Shift+ArrowLeft');
  await page.focus('#geometry-save');
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => document.getElementById('geometry-msg').textContent === 'Corners saved.');
  const saved = (await getJson('/api/source/geometry')).body.points;
  assert.ok(Math.abs(saved.top_right.x - (original.top_right.x - 0.06)) < 0.001, JSON.stringify(saved));
  assert.equal((await request('PUT', '/api/source/geometry', { points: original })).status, 200);

  await showTab(page, 'zones');
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
  await showTab(page, 'sport');
  await page.selectOption('#sport-select', 'basketball');
  await page.click('#sport-apply');
  await page.waitForFunction(() => document.getElementById('sport-msg').textContent.startsWith('Sport set to'));
  assert.equal((await getJson('/api/sports/selection')).body.selected_sport, 'basketball');

  const allowed = new Set(sport.definitions.filter((d) => d.ocr.available).map((d) => d.ocr.role));
  await showTab(page, 'zones');
  await page.click('#zone-add');
  const offered = await page.locator('#draft-role option:not([value=""])').evaluateAll((options) => options.map((o) => o.value));
  assert.ok(offered.every((role) => allowed.has(role)), `offered ${offered} outside ${[...allowed]}`);
  await page.click('#draft-cancel');
  await showTab(page, 'sport');
  await screenshot(page, 'sport-changed');
});

test('the display format changes how the period is shown', async (t) => {
  const reason = await unavailableReason('/api/display-format');
  if (reason) { t.skip(reason); return; }
  await waitFor(async () => /^\d$/.test(await tileValue('period')), { what: 'a period read from the board' });
  const period = await tileValue('period');
  await showTab(page, 'sport');
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
  const format = (await getJson('/api/display-format')).body;
  const formatted = await request('PUT', '/api/display-format', {
    version: 1, game_id: format.game_id, down: format.down, separator: format.separator,
    separator_custom: format.separator_custom, goal_text: format.goal_text, goal_to_go: format.goal_to_go,
    period: [...Array(10).keys()].map((n) => ({ ocr: String(n), display: `P${n}` })),
  });
  assert.equal(formatted.status, 200, JSON.stringify(formatted.body));
  const vmix = await startVmixStandIn();
  t.after(() => vmix.close());
  await showTab(page, 'vmix');
  await page.fill('#vmix-host', '127.0.0.1');
  await page.fill('#vmix-port', String(vmix.port));

  await page.click('#vmix-test');
  await page.waitForFunction(() => document.getElementById('vmix-msg').textContent.includes('vMix detected'));
  assert.match(await page.locator('#vmix-msg').textContent(), /27\.0\.0\.49/);

  await page.click('#vmix-discover');
  await page.click('button[aria-label="Map fields of Scoreboard.gtzip"]');

  // A second mapping to a field already mapped is refused with the reason, before anything is saved.
  const output = page.locator('#vmix-outputs [data-output="0"]');
  const mapped = await output.locator('input[data-mapping]').count();
  await output.getByRole('button', { name: 'Add mapping' }).click();
  await page.fill(`[aria-label="Input 1 mapping ${mapped + 1} field"]`, 'Home.Text');
  await page.click('#vmix-save');
  await page.waitForFunction(() => document.getElementById('vmix-msg').className === 'msg error');
  assert.match(await page.locator('#vmix-msg').textContent(), /“Home\.Text” of Scoreboard\.gtzip is mapped twice/);
  assert.equal(await page.locator(`[aria-label="Input 1 mapping ${mapped + 1} field"]`).getAttribute('aria-invalid'), 'true');
  assert.equal((await getJson('/api/v1/outputs/vmix')).body.config.host, '', 'nothing was saved');
  await page.click(`[aria-label="Remove mapping ${mapped + 1} of input 1"]`);

  await page.click('#vmix-save');
  await page.waitForFunction(() => document.getElementById('vmix-msg').textContent === 'vMix settings saved.');
  const config = (await getJson('/api/v1/outputs/vmix')).body.config;
  assert.equal(config.host, '127.0.0.1');
  assert.equal(config.port, vmix.port);
  assert.equal(config.outputs.length, 1);
  assert.equal(config.outputs[0].input_key, INPUT_KEY);
  assert.deepEqual(config.outputs[0].mappings.find((m) => m.field === 'Home.Text'), { source: 'home_score', field: 'Home.Text' });
  // The graphic gets the period as the tiles show it.
  assert.deepEqual(config.outputs[0].mappings.find((m) => m.field === 'Period.Text'), { source: 'period_display', field: 'Period.Text' });

  await waitFor(() => vmix.calls.find((c) => c.function === 'SetText' && c.input === INPUT_KEY && c.field === 'Home.Text'),
    { what: 'a SetText call for Home.Text' });
  // Every period is shown as "P" and its number: vMix gets that text, as the tile shows it.
  await waitFor(async () => {
    const last = vmix.calls.filter((c) => c.field === 'Period.Text').pop();
    return last && last.value === await tileValue('period');
  }, { what: 'Period.Text set to the period as shown' });
  assert.match(vmix.calls.filter((c) => c.field === 'Period.Text').pop().value, /^P\d$/);
  await page.waitForSelector('#vmix-mapping-rows .badge.ok');
  await page.waitForFunction(() => document.getElementById('vmix-text').textContent === 'vMix connected');
  assert.equal(await page.locator('#vmix-dot').getAttribute('class'), 'dot ok');
  await screenshot(page, 'vmix-saved');

  // vMix gone mid-show: the header, seen from every tab, says so.
  await showTab(page, 'source');
  await vmix.close();
  await page.waitForFunction(() => /^vMix: /.test(document.getElementById('vmix-text').textContent));
  assert.equal(await page.locator('#vmix-dot').getAttribute('class'), 'dot bad');
  await screenshot(page, 'vmix-gone');

  // Values were on air: switching off is asked for twice, and the header says output is off.
  await showTab(page, 'vmix');
  await page.click('#vmix-switch');
  await page.click('#vmix-off-yes');
  await waitFor(async () => (await getJson('/api/v1/outputs')).body.enabled.vmix === false, { what: 'the output switch off' });
  await page.waitForFunction(() => document.getElementById('vmix-connection').textContent === 'Output off');
  assert.ok(await page.locator('#vmix-pill').isVisible());
  assert.equal(await page.locator('#vmix-text').textContent(), 'vMix output off');
});

test('the SRT form shows the settings in force and a failed listen beside its controls', async (t) => {
  const reason = await unavailableFor('PUT', '/api/source/srt');
  if (reason) { t.skip(reason); return; }
  await showTab(page, 'source');
  // Until the SRT listener is the source its settings are unknown here: nothing is shown or sent.
  assert.ok(await page.locator('#srt-address').isDisabled());
  assert.equal(await page.locator('#srt-address').inputValue(), '');

  const busy = await loopbackUdpPort(true);
  t.after(async () => {
    await request('POST', '/api/source/srt/listening', { listening: false });
    await busy.release();
    await selectExampleThroughApi();
  });
  assert.equal((await request('PUT', '/api/source', { type: 'srt', id: 'srt' })).status, 200);
  const set = await request('PUT', '/api/source/srt', { bind_address: '127.0.0.1', port: busy.port, latency_ms: 200 });
  assert.equal(set.status, 200, JSON.stringify(set.body));
  await page.waitForFunction((port) => document.getElementById('srt-port').value === String(port), busy.port);
  assert.equal(await page.locator('#srt-address').inputValue(), '127.0.0.1');
  assert.equal(await page.locator('#srt-latency').inputValue(), '200');

  // Saving a changed latency keeps the address in force.
  await page.fill('#srt-latency', '150');
  await page.click('#srt-save');
  await page.waitForFunction(() => document.getElementById('srt-msg').textContent === 'SRT settings saved.');
  let srt = (await getJson('/api/status')).body.srt;
  assert.deepEqual([srt.bind_address, srt.port, srt.latency_ms], ['127.0.0.1', busy.port, 150]);

  // The port is taken: the listener's own error stands beside its controls, never "Listening".
  await page.click('#srt-listen');
  await page.waitForFunction(() => document.getElementById('srt-state').className === 'msg error');
  // The receiver tries the port again every few hundred milliseconds, clearing its error while it
  // tries: its message is read from a status that holds it.
  srt = await waitFor(async () => { const now = (await getJson('/api/status')).body.srt; return now.error ? now : null; },
    { what: 'the receiver\'s error' });
  const expected = `Not listening on 127.0.0.1:${busy.port}: ${srt.error}`;
  await page.waitForFunction((text) => document.getElementById('srt-state').textContent === text, expected);
  const shown = await page.locator('#srt-state').textContent();
  assert.equal(shown, expected);
  assert.match(shown, /in use/);
  await screenshot(page, 'srt-port-in-use');

  // A refused request shows its message where it was made.
  await page.fill('#srt-passphrase', 'short');
  await page.click('#srt-save');
  await page.waitForFunction(() => document.getElementById('srt-msg').className === 'msg error');
  assert.equal(await page.locator('#srt-msg').textContent(), 'SRT passphrase must be empty or 10 to 80 bytes');
  await page.fill('#srt-passphrase', '');
});

test('a program that stops answering is shown as a fault, and the page comes back by itself', async (t) => {
  const reason = await exampleUnavailable();
  if (reason) { t.skip(reason); return; }
  await page.waitForFunction(() => document.getElementById('stream-text').textContent === 'Live');
  // The page's requests fail as if the program had gone; the program itself drops the stream
  // when its source is cleared.
  await page.route('**/api/**', (route) => route.abort());
  t.after(() => page.unroute('**/api/**'));
  assert.equal((await request('DELETE', '/api/source')).status, 200);
  await page.waitForSelector('#stream-down:not(.hidden)');
  assert.equal(await page.locator('#stream-text').textContent(), 'Stream down');
  assert.match(await page.locator('#stream-retry').textContent(), /^Tessvark does not answer\./);
  await screenshot(page, 'stream-down');

  await selectExampleThroughApi();
  await page.unroute('**/api/**');
  await page.waitForFunction(() => document.getElementById('stream-text').textContent === 'Live');
  assert.ok(await page.locator('#stream-down').isHidden());
});
