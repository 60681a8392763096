'use strict';
// A small vMix stand-in for the browser tests: answers "/api/" with an XML document shaped like
// vMix's and records every SetText call. It listens on 127.0.0.1 only.
const http = require('node:http');

const INPUT_KEY = '5b1c2a7e-0d3f-4c1b-9a8e-3f2d1c0b9a87';

const API_DOCUMENT = `<?xml version="1.0" encoding="utf-8"?>
<vmix>
  <version>27.0.0.49</version>
  <edition>4K</edition>
  <computername>STAND-IN</computername>
  <inputs>
    <input key="${INPUT_KEY}" number="1" type="GT" title="Scoreboard.gtzip" state="Paused">Scoreboard.gtzip
      <text index="0" name="Home.Text">0</text>
      <text index="1" name="Guest.Text">0</text>
      <text index="2" name="Clock.Text">00:00</text>
      <text index="3" name="Period.Text">1</text>
    </input>
    <input key="0a9b8c7d-6e5f-4a3b-8c2d-1e0f9a8b7c6d" number="2" type="Colour" title="Black">Black</input>
  </inputs>
</vmix>`;

// vMix answers with a declared length; the program reads no chunked bodies.
function send(res, type, text) {
  const body = Buffer.from(text, 'utf8');
  res.writeHead(200, { 'Content-Type': type, 'Content-Length': body.length });
  res.end(body);
}

function startVmixStandIn() {
  const calls = [];
  const server = http.createServer((req, res) => {
    const url = new URL(req.url, 'http://127.0.0.1');
    if (url.pathname !== '/api/' && url.pathname !== '/api') {
      res.writeHead(404, { 'Content-Type': 'text/plain', 'Content-Length': 9 });
      res.end('not found');
      return;
    }
    const fn = url.searchParams.get('Function');
    if (fn) {
      calls.push({ function: fn, input: url.searchParams.get('Input'), field: url.searchParams.get('SelectedName'), value: url.searchParams.get('Value') });
      send(res, 'text/plain', 'Function completed successfully.');
      return;
    }
    send(res, 'text/xml; charset=utf-8', API_DOCUMENT);
  });
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      resolve({ port: server.address().port, calls, close: () => new Promise((done) => server.close(done)) });
    });
  });
}

module.exports = { startVmixStandIn, INPUT_KEY };
