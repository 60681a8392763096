'use strict';
// The page on air, in a page of its own against the shared program (which the interface tests
// leave with the Example video as the source): nothing scrolls sideways, axe-core finds nothing,
// the source is changed only on purpose, the live panel never shows another source's values,
// the keyboard keeps its place and places zones, vMix output is switched off only when meant and
// mappings vMix cannot show are named.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const {
  BASE_URL, launchBrowser, openInterface, getJson, request, waitFor, screenshot, axeViolations, showTab,
  loopbackUdpPort,
} = require('./helpers');
const { startVmixStandIn, INPUT_KEY } = require('./vmix_stand_in');

const EMPTY = '—';
const TABS = ['source', 'zones', 'sport', 'vmix', 'system'];
let browser;
let page;
let report;

async function tileValue(key) {
  return (await page.locator(`#tiles [data-key="${key}"] .value`).textContent()).trim();
}

async function sourceInUse() {
  const status = (await getJson('/api/status')).body;
  return `${status.source_type}:${status.source_id}`;
}

async function useExampleVideo() {
  assert.equal((await request('POST', '/api/source/srt/listening', { listening: false })).status, 200);
  assert.equal((await request('PUT', '/api/source', { type: 'example', id: 'example-1' })).status, 200);
  await page.waitForFunction(() => document.getElementById('stream-text').textContent === 'Live');
  await waitFor(async () => (await tileValue('home')) !== EMPTY, { what: 'values of the Example video' });
}

// The next `count` answers to the page's status polls, which come every second.
function statusPolls(count) {
  let seen = 0;
  return page.waitForResponse((r) => new URL(r.url()).pathname === '/api/status' && (seen += 1) >= count);
}

// What scrolls sideways: the page, the header, the open tab or the live panel.
function sidewaysOverflow() {
  return page.evaluate(() => {
    const found = [];
    const root = document.scrollingElement;
    if (root.scrollWidth > root.clientWidth) found.push(`page ${root.scrollWidth} > ${root.clientWidth}`);
    for (const node of document.querySelectorAll('header, [role=tabpanel]:not([hidden]), aside.live')) {
      if (node.scrollWidth > node.clientWidth + 1) {
        found.push(`${node.id || node.tagName.toLowerCase()} ${node.scrollWidth} > ${node.clientWidth}`);
      }
    }
    return found;
  });
}

before(async () => {
  assert.ok(BASE_URL, 'TESSVARK_URL must name the running program');
  browser = await launchBrowser();
  ({ page, report } = await openInterface(browser.context, BASE_URL, { clock: true }));
  await page.waitForSelector('#tiles .tile');
  await useExampleVideo();
});

after(async () => {
  if (browser) await browser.close();
});

test('nothing scrolls sideways at 1280 and 1920 px while SRT connects and vMix is not set up, and axe-core finds nothing on any tab', async (t) => {
  const vmix = (await getJson('/api/v1/outputs/vmix')).body.config;
  t.after(async () => {
    await request('PUT', '/api/v1/outputs/vmix', { enabled: vmix.enabled, host: vmix.host, port: vmix.port, outputs: vmix.outputs });
    await page.setViewportSize({ width: 1280, height: 720 });
    await useExampleVideo();
  });
  assert.equal((await request('PUT', '/api/v1/outputs/vmix', { enabled: true, host: '', port: 8088, outputs: [] })).status, 200);
  assert.equal((await request('PUT', '/api/source', { type: 'srt', id: 'srt' })).status, 200);
  const port = (await loopbackUdpPort()).port;
  assert.equal((await request('PUT', '/api/source/srt', { bind_address: '127.0.0.1', port })).status, 200);
  assert.equal((await request('POST', '/api/source/srt/listening', { listening: true })).status, 200);
  await page.waitForFunction(() => document.getElementById('signal-text').textContent === 'SRT listener · connecting');
  await page.waitForFunction(() => document.getElementById('vmix-text').textContent === 'vMix output not set up');

  for (const [width, height] of [[1280, 720], [1920, 1080]]) {
    await page.setViewportSize({ width, height });
    for (const tab of TABS) {
      await showTab(page, tab);
      assert.deepEqual(await sidewaysOverflow(), [], `at ${width}×${height} on the ${tab} tab`);
    }
    await showTab(page, 'source');
    await screenshot(page, `srt-connecting-${width}`);
  }

  await page.setViewportSize({ width: 1280, height: 720 });
  for (const tab of TABS) {
    await showTab(page, tab);
    assert.deepEqual(await axeViolations(page), [], `axe-core on the ${tab} tab`);
  }
  assert.deepEqual(report.cspViolations, [], 'axe-core ran within the page\'s policy');
});

test('arrow keys only move through the sources; Enter or "Use this source" puts one on air, and the focus stays', async () => {
  await showTab(page, 'source');
  const changes = [];
  const noteChange = (r) => { if (new URL(r.url()).pathname === '/api/source') changes.push(r.method()); };
  page.on('request', noteChange);
  try {
    await page.focus('input[name=source]:checked');
    assert.equal(await page.evaluate(() => document.activeElement.value), 'example:example-1');
    const polls = statusPolls(2);
    await page.keyboard.press('ArrowDown');
    await polls;
    assert.equal(await page.evaluate(() => document.activeElement.value), 'example:example-2', 'the arrow moved');
    assert.deepEqual(changes, [], 'moving chose nothing');
    assert.equal(await sourceInUse(), 'example:example-1');

    // Enter puts the entry on air; the SRT listener is not listening, so no values come from it.
    await page.keyboard.press('ArrowDown');
    await page.keyboard.press('Enter');
    await waitFor(async () => (await sourceInUse()) === 'srt:srt', { what: 'the SRT listener in use' });
    assert.deepEqual(changes, ['PUT']);
    await page.waitForFunction(() => document.getElementById('source-current').textContent === 'In use: SRT listener.');
    assert.equal(await page.evaluate(() => document.activeElement.value), 'srt:srt', 'the focus stays on the entry');

    // The values of the Example are not the listener's: the panel says there are none yet.
    await waitFor(async () => (await tileValue('home')) === EMPTY && (await tileValue('clock')) === EMPTY,
      { what: 'the old values gone' });
    // The listener has no zones drawn yet, which its tiles say once its zones are read; neither is a fault.
    await page.waitForFunction(() => document.querySelector('#tiles [data-key="home"] .since').textContent === 'no zone');
    assert.equal(await page.locator('#live-updated').textContent(), 'no values from this source yet');
    assert.equal(await page.locator('#tiles [data-key="home"] .since').getAttribute('class'), 'since', 'a neutral note');
    await screenshot(page, 'no-values-yet');

    // Back to the Example with the button, which keeps the focus.
    await page.keyboard.press('ArrowUp');
    await page.keyboard.press('ArrowUp');
    await page.focus('#source-use');
    await page.keyboard.press('Enter');
    await waitFor(async () => (await sourceInUse()) === 'example:example-1', { what: 'the Example back in use' });
    await page.waitForFunction(() => document.getElementById('source-current').textContent.startsWith('In use: Example 1'));
    // A status poll may show the new source before the button's own work has ended.
    await page.waitForFunction(() => !document.getElementById('source-use').disabled);
    assert.equal(await page.evaluate(() => document.activeElement.id), 'source-use');
  } finally {
    page.off('request', noteChange);
  }
  await page.waitForFunction(() => document.getElementById('stream-text').textContent === 'Live');
});

test('the keyboard places a new zone whose field the operator chooses', async (t) => {
  await showTab(page, 'zones');
  await page.waitForSelector('#zone-img:not(.hidden)');
  await page.focus('#zone-add');
  await page.keyboard.press('Enter');
  assert.equal(await page.evaluate(() => document.activeElement.dataset.focusKey), 'draft', 'the new zone has the focus');
  // Nothing is chosen for the operator.
  assert.equal(await page.locator('#draft-role').inputValue(), '');
  assert.ok(await page.locator('#draft-create').isDisabled());

  const start = await page.evaluate(() => ({ ...app.draft }));
  for (let i = 0; i < 5; i += 1) await page.keyboard.press('ArrowRight');
  for (let i = 0; i < 2; i += 1) await page.keyboard.press('Control+ArrowDown');
  assert.equal(await page.evaluate(() => document.activeElement.dataset.focusKey), 'draft', 'the focus stays on it');
  const moved = await page.evaluate(() => ({ ...app.draft }));
  assert.ok(Math.abs(moved.x - (start.x + 0.01)) < 1e-6 && moved.y === start.y, JSON.stringify(moved));
  assert.ok(Math.abs(moved.height - (start.height + 0.004)) < 1e-6 && moved.width === start.width, JSON.stringify(moved));

  await page.keyboard.press('Enter');
  assert.equal(await page.evaluate(() => document.activeElement.id), 'draft-role');
  await page.keyboard.press('ArrowDown');
  const role = await page.locator('#draft-role').inputValue();
  assert.notEqual(role, '', 'a field chosen from the keyboard');
  t.after(() => request('DELETE', `/api/zones/${encodeURIComponent(role)}`));
  await page.focus('#draft-create');
  await page.keyboard.press('Enter');
  const created = await waitFor(async () => (await getJson('/api/zones')).body.find((z) => z.role === role),
    { what: 'the new zone in the API' });
  assert.ok(Math.abs(created.x - moved.x) < 1e-4 && Math.abs(created.height - moved.height) < 1e-4, JSON.stringify(created));
});

test('choosing a zone keeps the focus on it, and a burst of nudges is saved once', async (t) => {
  await showTab(page, 'zones');
  const clock = (await getJson('/api/zones')).body.find((z) => z.id === 'clock');
  t.after(() => request('PUT', '/api/zones/clock', { x: clock.x, y: clock.y, width: clock.width, height: clock.height, processing: clock.processing }));
  await page.focus('[data-zone-row="clock"] button');
  await page.keyboard.press('Enter');
  await page.waitForSelector('#zone-editor:not(.hidden)');
  assert.equal(await page.evaluate(() => document.activeElement.dataset.focusKey), 'zone-select:clock');

  const saves = [];
  const noteSave = (r) => { if (r.method() === 'PUT' && new URL(r.url()).pathname === '/api/zones/clock') saves.push(r.url()); };
  page.on('request', noteSave);
  t.after(() => page.off('request', noteSave));
  // The page's own timers stand still between the key presses, each a step of an operator's pace.
  await page.clock.pauseAt(Date.now() + 1000);
  for (let i = 0; i < 5; i += 1) {
    await page.keyboard.press('ArrowRight');
    await page.clock.runFor(450);
  }
  const saved = page.waitForResponse((r) => r.request().method() === 'PUT' && new URL(r.url()).pathname === '/api/zones/clock');
  await page.clock.runFor(1000);
  await saved;
  await page.clock.resume();
  await statusPolls(2);
  assert.equal(saves.length, 1, 'one save for the burst');
  const moved = (await getJson('/api/zones')).body.find((z) => z.id === 'clock');
  assert.ok(Math.abs(moved.x - (clock.x + 0.01)) < 1e-4, JSON.stringify(moved));
  assert.equal(await page.evaluate(() => document.activeElement.dataset.focusKey), 'zone-select:clock');
});

test('buttons keep the focus while their work runs and after', async (t) => {
  await showTab(page, 'source');
  await page.focus('#geometry-save');
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => document.getElementById('geometry-msg').textContent === 'Corners saved.');
  assert.equal(await page.evaluate(() => document.activeElement.id), 'geometry-save');

  await showTab(page, 'sport');
  await page.focus('#sport-apply');
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => document.getElementById('sport-msg').textContent.startsWith('Sport set to'));
  assert.equal(await page.evaluate(() => document.activeElement.id), 'sport-apply');
  assert.equal(await page.locator('#format-new-game').getAttribute('aria-describedby'), 'format-game-note');
  assert.match(await page.locator('#format-game-note').textContent(), /“New game” gives it a\s+new id/);

  const vmix = await startVmixStandIn();
  t.after(() => vmix.close());
  await showTab(page, 'vmix');
  await page.fill('#vmix-host', '127.0.0.1');
  await page.fill('#vmix-port', String(vmix.port));
  for (const [button, done] of [['vmix-test', 'vMix detected'], ['vmix-discover', 'inputs found']]) {
    await page.focus(`#${button}`);
    await page.keyboard.press('Enter');
    await page.waitForFunction((text) => document.getElementById('vmix-msg').textContent.includes(text), done);
    assert.equal(await page.evaluate(() => document.activeElement.id), button);
  }
});

test('vMix mappings show the field names, name a field the title lacks, and output is switched off only when meant', async (t) => {
  const vmix = await startVmixStandIn();
  t.after(() => vmix.close());
  await showTab(page, 'vmix');
  await page.fill('#vmix-host', '127.0.0.1');
  await page.fill('#vmix-port', String(vmix.port));
  await page.click('#vmix-discover');
  await page.waitForFunction(() => document.getElementById('vmix-msg').textContent.includes('inputs found'));
  // Only the title has text fields to map; the hint to list the inputs has gone.
  assert.equal(await page.getByRole('button', { name: /^Map fields of / }).count(), 1);
  assert.doesNotMatch(await page.locator('#inputs-note').textContent(), /List inputs/);

  await page.evaluate(() => { app.vmixOutputs = []; renderVmixOutputs(); });
  await page.click('button[aria-label="Map fields of Scoreboard.gtzip"]');
  const labels = await page.locator('#vmix-outputs select option').evaluateAll((options) => options.map((o) => o.textContent));
  assert.ok(labels.includes('Home Score') && labels.includes('Period (as shown)'), labels.join(', '));
  assert.deepEqual(labels.filter((label) => /_/.test(label)), [], 'no internal names');

  await page.locator('#vmix-outputs input[data-mapping][value="Period.Text"]').fill('Perod.Text');
  await page.check('#vmix-switch');
  await page.click('#vmix-save');
  await page.waitForFunction(() => document.getElementById('vmix-msg').className === 'msg error');
  assert.match(await page.locator('#vmix-msg').textContent(), /“Perod\.Text” is not a text field of “Scoreboard\.gtzip”/);
  const warned = page.locator('#vmix-outputs input[data-mapping][aria-invalid="true"]');
  assert.equal(await warned.count(), 1);
  assert.equal(await warned.inputValue(), 'Perod.Text');

  await warned.fill('Period.Text');
  await page.click('#vmix-save');
  await page.waitForFunction(() => document.getElementById('vmix-msg').textContent === 'vMix settings saved.');
  await waitFor(() => vmix.calls.find((c) => c.input === INPUT_KEY && c.field === 'Period.Text' && c.value), { what: 'the period sent' });
  await page.waitForFunction(() => document.getElementById('vmix-text').textContent === 'vMix connected');
  // The last success in the operator's own clock, without microseconds or a zone letter.
  const lastSuccess = await page.locator('#vmix-status dt:text("Last success") + dd').textContent();
  assert.match(lastSuccess, /\d{1,2}:\d{2}:\d{2}/);
  assert.doesNotMatch(lastSuccess, /\.\d{6}|Z$|T\d/);

  // Values are on air: a switch-off asks first, "Keep sending" keeps them.
  await page.click('#vmix-switch');
  await page.waitForSelector('#vmix-off-confirm:not(.hidden)');
  assert.equal(await page.evaluate(() => document.activeElement.id), 'vmix-off-keep');
  assert.equal((await getJson('/api/v1/outputs')).body.enabled.vmix, true, 'not switched off yet');
  assert.ok(await page.locator('#vmix-switch').isChecked());
  await page.keyboard.press('Enter');
  await page.waitForSelector('#vmix-off-confirm', { state: 'hidden' });
  assert.equal((await getJson('/api/v1/outputs')).body.enabled.vmix, true);

  const blanksBefore = vmix.calls.filter((c) => c.value === '').length;
  await page.click('#vmix-switch');
  await page.click('#vmix-off-yes');
  await waitFor(async () => (await getJson('/api/v1/outputs')).body.enabled.vmix === false, { what: 'the output switched off' });
  await waitFor(() => vmix.calls.filter((c) => c.value === '').length > blanksBefore, { what: 'the fields blanked' });
  // Seen from every tab: the header says output is off.
  await showTab(page, 'source');
  await page.waitForFunction(() => document.getElementById('vmix-text').textContent === 'vMix output off');
  assert.ok(await page.locator('#vmix-pill').isVisible());
  await screenshot(page, 'vmix-output-off');
  assert.deepEqual(report.pageErrors, []);
});
