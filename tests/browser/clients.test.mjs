// The clients page: every client with its counters, and the one that dropped events stands out.
import assert from 'node:assert/strict';
import {after, before, test} from 'node:test';
import {Setup, waitFor} from './harness.mjs';

const setup = new Setup();

before(async () => {
  await setup.start();
  await setup.runDemo();
  await setup.runCases('drops');
  await setup.waitForTransaction('after-drops-1', 3);
  await waitFor('a client that reported drops', async () => {
    const answer = await setup.api('/api/clients');
    return answer.clients.some((c) => c.events_dropped > 0);
  });
  await setup.browser();
});
after(() => setup.stop());

test('a client that dropped events is flagged and leads to its transactions', async () => {
  const page = await setup.page();
  await page.goto(setup.base + '/clients');
  await page.waitForSelector('table.clients tbody tr');
  const rows = await page.$$eval('table.clients tbody tr', (trs) => trs.map((tr) => ({
    peer: tr.dataset.peer,
    dropping: tr.classList.contains('dropping'),
    dropped: Number(tr.querySelector('.dropped').textContent),
    flags: tr.querySelector('.flags').textContent,
  })));
  const api = (await setup.api('/api/clients')).clients;
  assert.equal(rows.length, api.length);
  for (const row of rows) {
    const stored = api.find((c) => c.peer === row.peer);
    assert.equal(row.dropped, stored.events_dropped);
    assert.equal(row.dropping, stored.events_dropped > 0);
    assert.equal(row.flags, stored.events_dropped > 0 ? `⚠ dropped ${stored.events_dropped} events` : '');
  }
  assert.ok(rows.some((r) => r.dropping) && rows.some((r) => !r.dropping));
  assert.match(await page.$eval('.status', (n) => n.textContent), /[1-9]\d* dropping events/);
  await setup.screenshot(page, 'clients');

  const dropping = rows.find((r) => r.dropping);
  await Promise.all([page.waitForNavigation(),
                     page.click(`tr[data-peer="${dropping.peer}"] a`)]);
  assert.equal(new URL(page.url()).searchParams.get('client'), dropping.peer);
  assert.deepEqual(page.errors, []);
});
