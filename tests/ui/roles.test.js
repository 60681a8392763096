'use strict';
// The page keeps no list of roles of its own: its zone fields, live tiles and vMix sources come
// from the program's role vocabulary (GET /api/sports/roles). A page whose vocabulary has one
// role more, as a new row of the role table would give it, offers that role everywhere.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { BASE_URL, launchBrowser, openInterface, getJson, request, showTab } = require('./helpers');

// The live panel as it stands with the program's own vocabulary: board order, then the wide tiles.
const PANEL = ['home', 'guest', 'clock', 'home_shots', 'period', 'guest_shots', 'home_timeouts',
  'shot_clock', 'guest_timeouts', 'down', 'to_go', 'ball_on', 'down_distance', 'possession', 'penalties'];

const NEW_ROLE = {
  role: 'home_fouls', name: 'Home Fouls', zone_type: 'score', layout: 'two_digits', reader: 'number',
  member: 'home_fouls', penalty: null,
};

let browser;

async function tileKeys(page) {
  await page.waitForSelector('#tiles .tile');
  return page.locator('#tiles .tile').evaluateAll((tiles) => tiles.map((tile) => tile.dataset.key));
}

function insertAfter(list, anchor, item) {
  const at = list.indexOf(anchor);
  assert.ok(at >= 0, `${anchor} is in the list`);
  list.splice(at + 1, 0, item);
}

// Serves the program's vocabulary with NEW_ROLE after "guest_shots", and its catalog with a field
// of that role in every sport, as the catalog names the fields of a new role.
async function withOneMoreRole(context) {
  await context.route('**/api/sports/roles', async (route) => {
    const response = await route.fetch();
    const vocabulary = await response.json();
    insertAfter(vocabulary.roles, vocabulary.roles.find((row) => row.role === 'guest_shots'), NEW_ROLE);
    insertAfter(vocabulary.vmix_sources, 'guest_shots', NEW_ROLE.role);
    await route.fulfill({ response, json: vocabulary });
  });
  await context.route('**/api/sports/catalog', async (route) => {
    const response = await route.fetch();
    const catalog = await response.json();
    for (const sport of catalog.sports || []) {
      const read = (sport.definitions || []).find((d) => d.ocr && d.ocr.available);
      if (read) sport.definitions.push({ ...read, data_key: NEW_ROLE.role, ocr: { ...read.ocr, role: NEW_ROLE.role } });
    }
    await route.fulfill({ response, json: catalog });
  });
}

before(async () => {
  assert.ok(BASE_URL, 'TESSVARK_URL must name the running program');
  browser = await launchBrowser();
  // A source with a picture, on which a zone can be placed.
  assert.equal((await request('POST', '/api/source/srt/listening', { listening: false })).status, 200);
  assert.equal((await request('PUT', '/api/source', { type: 'example', id: 'example-1' })).status, 200);
});

after(async () => {
  if (browser) await browser.close();
});

test('the program describes its roles and the page lays out their values as before', async () => {
  const { status, body } = await getJson('/api/sports/roles');
  assert.equal(status, 200);
  assert.equal(body.roles[0].role, 'home_score');
  assert.ok(body.vmix_sources.includes('period_display'));
  const { page, report } = await openInterface(browser.context);
  try {
    assert.deepEqual(await tileKeys(page), PANEL);
    assert.deepEqual(report.pageErrors, []);
  } finally {
    await page.close();
  }
});

test('a role the vocabulary adds is offered as a zone field, a live tile and a vMix source', async () => {
  await withOneMoreRole(browser.context);
  const { page, report } = await openInterface(browser.context);
  try {
    // Its value gets a tile of its own after those the panel places, named as the table names it.
    assert.deepEqual(await tileKeys(page), [...PANEL, NEW_ROLE.role]);
    const tile = page.locator(`#tiles [data-key="${NEW_ROLE.role}"]`);
    assert.equal(await tile.locator('.label').textContent(), NEW_ROLE.name);
    await page.waitForFunction((role) => document.querySelector(`#tiles [data-key="${role}"] .since`).textContent === 'no zone',
      NEW_ROLE.role);

    // A new zone may be given the role.
    await showTab(page, 'zones');
    await page.waitForSelector('#zone-img:not(.hidden)');
    await page.click('#zone-add');
    const fields = await page.locator('#draft-role option').evaluateAll((options) => options.map((o) => [o.value, o.textContent]));
    assert.ok(fields.some(([value, text]) => value === NEW_ROLE.role && text === NEW_ROLE.name), JSON.stringify(fields));
    await page.click('#draft-cancel');

    // A vMix mapping may send its value, offered after "Guest Shots" as the vocabulary orders it.
    await showTab(page, 'vmix');
    await page.waitForFunction(() => app.vmix !== null);
    await page.click('#vmix-add-output');
    const sources = await page.locator('#vmix-outputs select').first().locator('option')
      .evaluateAll((options) => options.map((o) => o.textContent));
    assert.equal(sources[sources.indexOf('Guest Shots') + 1], NEW_ROLE.name, sources.join(', '));
    assert.deepEqual(report.pageErrors, []);
  } finally {
    await page.close();
    await browser.context.unrouteAll();
  }
});
