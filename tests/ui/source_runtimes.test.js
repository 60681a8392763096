'use strict';
// The Source tab against the real program when the network video libraries are missing: nothing
// lies beside the program that the tests run, so asking for OMT senders shows the OMT runtime's
// own refusal, and asking for NDI senders shows the NDI one unless this machine has that runtime.
const fs = require('node:fs');
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { launchBrowser, openInterface, waitFor, screenshot } = require('./helpers');

const NDI_PLACES = ['/usr/lib/x86_64-linux-gnu', '/usr/lib', '/usr/local/lib', process.env.NDI_RUNTIME_DIR_V6]
  .filter(Boolean).map((folder) => `${folder}/libndi.so.6`);

// Absent libraries are said to be not installed, with the places looked in: the program's own
// folder for OMT, the standard folders and NDI_RUNTIME_DIR_V6 for NDI.
const OMT_ABSENT = /^The OMT runtime is not installed: Tessvark looked for libvmx\.so(, libomt\.so)? and libomt(net)?\.so in \/\S+\. Examples remain available\.$/;
const NDI_ABSENT = 'The NDI runtime is not installed: Tessvark looked for libndi.so.6 in /usr/lib/x86_64-linux-gnu, /usr/lib, '
  + `/usr/local/lib and NDI_RUNTIME_DIR_V6 (${process.env.NDI_RUNTIME_DIR_V6 || 'not set to an absolute folder'}). Examples remain available.`;

let browser;

before(async () => {
  browser = await launchBrowser();
});

after(async () => {
  if (browser) await browser.close();
});

async function refusalAfterRefresh(page, type) {
  await page.click(`#${type}-refresh`);
  const note = page.locator(`#${type}-note`);
  await waitFor(async () => (await note.getAttribute('class')).includes('runtime-missing'),
    { what: `the ${type.toUpperCase()} runtime's refusal` });
  return note.textContent();
}

// The refusal stands from the first paint and after a reload, without any Refresh.
test('a runtime that cannot be loaded says so when the page opens', async () => {
  const { page, report } = await openInterface(browser.context);
  const ndiMissing = !NDI_PLACES.some((place) => fs.existsSync(place));
  let omt = '';
  for (const when of ['first paint', 'reload']) {
    if (when === 'reload') await page.reload();
    await page.waitForFunction(() => document.getElementById('omt-note').textContent.startsWith('The OMT runtime'));
    omt = await page.locator('#omt-note').textContent();
    assert.match(omt, OMT_ABSENT, when);
    assert.match(await page.locator('#omt-note').getAttribute('class'), /runtime-missing/, when);
    if (ndiMissing) {
      await page.waitForFunction((text) => document.getElementById('ndi-note').textContent === text, NDI_ABSENT);
    }
  }
  // Asking a runtime that cannot run to search promises no search.
  await page.click('#omt-refresh');
  await page.waitForFunction(() => !document.getElementById('omt-refresh').disabled
    && document.getElementById('discovery-msg').className !== 'msg busy');
  assert.equal(await page.locator('#discovery-msg').textContent(), '');
  assert.equal(await page.locator('#omt-note').textContent(), omt);
  assert.deepEqual(report.pageErrors, []);
  await page.close();
});

test('a runtime that cannot be loaded says why in the Source tab', async () => {
  const { page, report } = await openInterface(browser.context);
  await page.click('#tab-source');
  assert.match(await refusalAfterRefresh(page, 'omt'), OMT_ABSENT);
  if (!NDI_PLACES.some((place) => fs.existsSync(place))) {
    assert.equal(await refusalAfterRefresh(page, 'ndi'), NDI_ABSENT);
  }
  await screenshot(page, 'source-runtimes-missing');
  assert.deepEqual(report.pageErrors, []);
  await page.close();
});
