'use strict';
// What the page shows on air is true: a lost feed is never shown live, the arrow keys move a zone
// only from the zone, the picture or the zone's own button, messages about another source or a
// program that has gone do not linger, and another client's streams do not grey the tiles. Each
// test starts from the Example picture and leaves the program as it found it.
const http = require('node:http');
const path = require('node:path');
const { spawn } = require('node:child_process');
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const {
  BASE_URL, launchBrowser, openInterface, getJson, request, waitFor, axeViolations, showTab, loopbackUdpPort,
} = require('./helpers');
const { startVmixStandIn } = require('./vmix_stand_in');

const EXAMPLE_PICTURE = path.resolve(__dirname, '../../resources/ui/assets/example/1.jpg');
const HELD_TEXT = 'No picture · last values held';
let browser;
let page;
let report;

async function useExamplePicture() {
  await request('POST', '/api/source/srt/listening', { listening: false });
  assert.equal((await request('PUT', '/api/source', { type: 'example', id: 'example-1' })).status, 200);
  await page.waitForFunction(() => document.getElementById('stream-text').textContent === 'Live');
}

// The real ffmpeg as the SRT caller, sending the Example picture as H.264 until it is killed.
function startSrtSender(port) {
  const sender = spawn('ffmpeg', ['-hide_banner', '-loglevel', 'error', '-re', '-loop', '1', '-framerate', '25',
    '-i', EXAMPLE_PICTURE, '-c:v', 'libx264', '-preset', 'ultrafast', '-tune', 'zerolatency', '-pix_fmt', 'yuv420p',
    '-g', '25', '-f', 'mpegts', `srt://127.0.0.1:${port}?mode=caller`], { stdio: ['ignore', 'ignore', 'pipe'] });
  const exited = new Promise((resolve) => sender.on('exit', resolve));
  return {
    stop: async () => {
      if (sender.exitCode === null && sender.signalCode === null) sender.kill('SIGKILL');
      await exited;
    },
  };
}

before(async () => {
  assert.ok(BASE_URL, 'TESSVARK_URL must name the running program');
  browser = await launchBrowser();
  ({ page, report } = await openInterface(browser.context));
  await page.waitForSelector('#tiles .tile');
  await useExamplePicture();
});

after(async () => {
  if (browser) await browser.close();
});

test('a lost SRT feed is never shown live: the header and the tiles say the last values are held', async (t) => {
  const example = (await getJson('/api/zones')).body;
  const port = (await loopbackUdpPort()).port;
  assert.equal((await request('PUT', '/api/source', { type: 'srt', id: 'srt' })).status, 200);
  // The SRT source reads the board with the Example's zones.
  const own = (await getJson('/api/zones')).body;
  const added = example.filter((z) => !own.some((o) => o.id === z.id));
  let sender = null;
  t.after(async () => {
    if (sender) await sender.stop();
    await request('PUT', '/api/source', { type: 'srt', id: 'srt' });
    for (const zone of added) await request('DELETE', `/api/zones/${encodeURIComponent(zone.id)}`);
    await useExamplePicture();
  });
  for (const { id, role, x, y, width, height } of added) {
    assert.ok((await request('POST', '/api/zones', { id, role, x, y, width, height })).status < 300);
  }
  assert.equal((await request('PUT', '/api/source/srt', { bind_address: '127.0.0.1', port })).status, 200);
  assert.equal((await request('POST', '/api/source/srt/listening', { listening: true })).status, 200);
  sender = startSrtSender(port);

  await page.waitForFunction(() => document.getElementById('signal-text').textContent === 'SRT listener · live'
    && document.getElementById('stream-text').textContent === 'Live' && document.getElementById('stream-dot').className === 'dot ok');
  const home = await page.locator('#tiles [data-key="home"] .value').textContent();

  await sender.stop();
  const killedAt = Date.now();
  // Within 12 s of the lost feed the header shows no live state (the source is stale after 3 s).
  await page.waitForFunction((text) => document.getElementById('stream-text').textContent === text, HELD_TEXT, { timeout: 12000 });
  t.diagnostic(`held shown ${Date.now() - killedAt} ms after the sender was killed`);
  assert.equal(await page.locator('#stream-dot').getAttribute('class'), 'dot warn', 'amber while the source may come back');
  assert.ok(await page.locator('#tiles').evaluate((node) => node.classList.contains('held')));
  assert.match(await page.locator('#held-note').textContent(),
    /^No picture for \d+ s: these are the last values read, and vMix keeps showing them\.$/);
  assert.equal(await page.locator('#tiles [data-key="home"] .value').textContent(), home, 'the values held are still shown');

  // Once the source is offline the pill turns red, and it never says "Live" again meanwhile.
  await page.waitForFunction(() => document.getElementById('signal-text').textContent.endsWith('offline'));
  await page.waitForFunction(() => document.getElementById('stream-dot').className === 'dot bad');
  assert.equal(await page.locator('#stream-text').textContent(), HELD_TEXT);
  assert.deepEqual(await axeViolations(page, ['color-contrast', 'aria-allowed-role', 'nested-interactive']), []);
});

test('the arrow keys move a zone only from the zone, the picture or its button in the list; Shift goes ten times as far, Ctrl resizes', async (t) => {
  await showTab(page, 'zones');
  await page.waitForSelector('#zone-img:not(.hidden)');
  const clock = (await getJson('/api/zones')).body.find((z) => z.id === 'clock');
  t.after(() => request('PUT', '/api/zones/clock', { x: clock.x, y: clock.y, width: clock.width, height: clock.height, processing: clock.processing }));
  await page.click('[data-zone-row="clock"] button');
  await page.waitForSelector('#zone-editor:not(.hidden)');

  const saves = [];
  const noteSave = (r) => { if (r.method() === 'PUT' && new URL(r.url()).pathname === '/api/zones/clock') saves.push(r.url()); };
  page.on('request', noteSave);
  t.after(() => page.off('request', noteSave));
  // As one does to scroll: the heading is clicked, then ArrowDown three times.
  await page.click('#panel-zones h2');
  for (let i = 0; i < 3; i += 1) await page.keyboard.press('ArrowDown');
  assert.deepEqual(await page.evaluate(() => { const z = app.zones.find((zone) => zone.id === 'clock'); return [z.x, z.y]; }),
    [clock.x, clock.y], 'the zone stays where it is');

  const steps = [
    ['[data-zone-row="clock"] button', 'ArrowRight', { x: 0.002 }],
    ['#zone-pic', 'Shift+ArrowDown', { y: 0.02 }],
    ['#zone-overlay [data-focus-key="zone-box:clock"]', 'Control+ArrowLeft', { width: -0.002 }],
    ['#zone-overlay [data-focus-key="zone-box:clock"]', 'Control+Shift+ArrowUp', { height: -0.02 }],
  ];
  const rect = () => page.evaluate(() => { const z = app.zones.find((zone) => zone.id === 'clock'); return { x: z.x, y: z.y, width: z.width, height: z.height }; });
  let expected;
  for (const [target, key, change] of steps) {
    const before = await rect();
    await page.focus(target);
    await page.keyboard.press(key);
    const now = await rect();
    for (const member of ['x', 'y', 'width', 'height']) {
      const wanted = before[member] + (change[member] || 0);
      assert.ok(Math.abs(now[member] - wanted) < 1e-4, `${key} on ${target}: ${member} ${now[member]}, expected ${wanted}`);
    }
    expected = now;
  }
  await waitFor(async () => {
    const saved = (await getJson('/api/zones')).body.find((z) => z.id === 'clock');
    return Math.abs(saved.y - expected.y) < 1e-4 && Math.abs(saved.height - expected.height) < 1e-4;
  }, { what: 'the keyboard moves saved' });
  assert.ok(saves.length >= 1);
});

test('after a confirmed Delete the focus goes to the neighbouring zone in the list, or to "Add zone"', async (t) => {
  await showTab(page, 'zones');
  const zones = (await getJson('/api/zones')).body;
  const free = ['home_timeouts', 'guest_timeouts'].filter((role) => !zones.some((z) => z.role === role));
  assert.equal(free.length, 2, 'two fields without a zone');
  for (const role of free) {
    assert.ok((await request('POST', '/api/zones', { id: role, role, x: 0.1, y: 0.1, width: 0.1, height: 0.1 })).status < 300);
  }
  t.after(async () => { for (const role of free) await request('DELETE', `/api/zones/${role}`); });
  await page.evaluate(() => loadZones());
  const order = await page.evaluate(() => app.zones.map((z) => z.id));
  const last = order[order.length - 1];
  const before = order[order.length - 2];

  for (const [id, focused] of [[before, `zone-select:${last}`], [last, `zone-select:${order[order.length - 3]}`]]) {
    await page.click(`[data-zone-row="${id}"] button[aria-label^="Delete"]`);
    await page.click(`[data-zone-row="${id}"] button[aria-label^="Confirm delete"]`);
    await page.waitForFunction((gone) => !document.querySelector(`[data-zone-row="${gone}"]`), id);
    await page.waitForFunction((key) => document.activeElement && document.activeElement.dataset.focusKey === key, focused);
  }
});

test('"Corners saved." goes with its source, and a source chosen in another window brings its zones and corners', async (t) => {
  await showTab(page, 'source');
  await page.click('#geometry-save');
  await page.waitForFunction(() => document.getElementById('geometry-msg').textContent === 'Corners saved.');
  t.after(useExamplePicture);
  // Another client chooses the SRT listener, whose zones and corners are its own.
  assert.equal((await request('PUT', '/api/source', { type: 'srt', id: 'srt' })).status, 200);
  const zones = (await getJson('/api/zones')).body.map((z) => z.id);
  await page.waitForFunction(() => document.getElementById('geometry-msg').textContent === '');
  await page.waitForFunction((ids) => JSON.stringify(app.zones.map((z) => z.id)) === JSON.stringify(ids), zones);
});

test('"Use this sport" names the zones it takes out of use and says they come back', async (t) => {
  const selection = (await getJson('/api/sports/selection')).body.selected_sport;
  t.after(() => selection && request('PUT', '/api/sports/selection', { sport: selection }));
  await showTab(page, 'sport');
  // The page knows the zones of the source in use (a test before may have changed it).
  const zones = (await getJson('/api/zones')).body.map((z) => z.id);
  await page.waitForFunction((ids) => JSON.stringify(app.zones.map((z) => z.id)) === JSON.stringify(ids), zones);
  await page.selectOption('#sport-select', 'soccer');
  await page.click('#sport-apply');
  await page.waitForFunction(() => document.getElementById('sport-msg').textContent.startsWith('Sport set to Soccer.'));
  let message = '';
  await waitFor(async () => (message = await page.locator('#sport-msg').textContent()).includes('come back'),
    { what: 'the zones out of use named' }).catch(() => {});
  assert.match(message, /^Sport set to Soccer\. Soccer has no .+: (that zone is out of use and comes back with a sport that has it|those zones are out of use and come back with a sport that has them)\.$/);
});

test('vMix: "Map fields" twice keeps one block, and a program that has gone is not shown as connected', async (t) => {
  const saved = (await getJson('/api/v1/outputs/vmix')).body.config;
  const vmix = await startVmixStandIn();
  t.after(async () => {
    await page.unroute('**/api/**');
    await request('PUT', '/api/v1/outputs/vmix', { enabled: saved.enabled, host: saved.host, port: saved.port, outputs: saved.outputs });
    await page.evaluate(() => loadVmix());
    await vmix.close();
  });
  await showTab(page, 'vmix');
  await page.evaluate(() => { app.vmixOutputs = []; renderVmixOutputs(); });
  await page.fill('#vmix-host', '127.0.0.1');
  await page.fill('#vmix-port', String(vmix.port));
  await page.click('#vmix-discover');
  await page.waitForFunction(() => document.getElementById('vmix-msg').textContent.includes('inputs found'));
  await page.click('button[aria-label="Map fields of Scoreboard.gtzip"]');
  await page.click('button[aria-label="Map fields of Scoreboard.gtzip"]');
  assert.equal(await page.locator('#vmix-outputs .card[data-output]').count(), 1);
  assert.match(await page.locator('#vmix-msg').textContent(), /mapped already/);
  assert.ok(await page.evaluate(() => document.getElementById('vmix-outputs').contains(document.activeElement)));

  await page.check('#vmix-switch');
  await page.click('#vmix-save');
  await page.waitForFunction(() => document.getElementById('vmix-text').textContent === 'vMix connected');
  // The page's requests fail as if the program had quit.
  await page.route('**/api/**', (route) => route.abort());
  await page.waitForFunction(() => document.getElementById('vmix-text').textContent === 'vMix: Tessvark does not answer');
  assert.equal(await page.locator('#vmix-dot').getAttribute('class'), 'dot bad');
});

// Another local program that opens a stream every `everyMs`, closing its last one first or not.
function startStreamChurn(everyMs, closeLast) {
  const open = [];
  const timer = setInterval(() => {
    if (closeLast && open.length) open.shift().destroy();
    const req = http.get(new URL('/api/ui/state/stream', BASE_URL), (res) => { res.resume(); });
    req.on('error', () => {});
    open.push(req);
  }, everyMs);
  return () => { clearInterval(timer); for (const req of open) req.destroy(); };
}

for (const [what, closeLast] of [['reconnects', true], ['leaves its streams open', false]]) {
  test(`the tiles stay unmarked while another client ${what} every 100 ms`, async (t) => {
    await page.waitForFunction(() => document.getElementById('stream-text').textContent === 'Live');
    const stop = startStreamChurn(100, closeLast);
    t.after(stop);
    // The page's own view, sampled every 20 ms for 5 s.
    const marked = await page.evaluate(() => new Promise((resolve) => {
      let samples = 0;
      let waiting = 0;
      const timer = setInterval(() => {
        samples += 1;
        if (document.getElementById('tiles').classList.contains('stale')) waiting += 1;
        if (samples === 250) { clearInterval(timer); resolve(waiting / samples); }
      }, 20);
    }));
    t.diagnostic(`tiles marked waiting ${(marked * 100).toFixed(1)} % of the time`);
    assert.ok(marked < 0.02, `tiles marked waiting ${(marked * 100).toFixed(1)} % of the time`);
    assert.deepEqual(report.pageErrors, []);
  });
}
