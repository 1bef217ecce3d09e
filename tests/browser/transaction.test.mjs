// The transaction page as a person uses it: open order-7781 from the search, read its
// waterfall, open an event, walk it with the keyboard, reload the deep link; markup stays text;
// an unanswered OUTBOUND is flagged; 50 000 events open and scroll with a small DOM.
import assert from 'node:assert/strict';
import {after, before, test} from 'node:test';
import {MARKUP_ID, MARKUP_VALUE, Setup, texts, waitFor} from './harness.mjs';

const setup = new Setup();
const keys = {};

before(async () => {
  await setup.start();
  await setup.runDemo();
  await setup.runCases('markup', 'unmatched', 'bulk');
  for (const [id, events] of [['order-7781', 5], ['stock-991', 4], [MARKUP_ID, 4],
                              ['orphan-call-1', 4], ['bulk-50000', 50000]]) {
    keys[id] = (await setup.waitForTransaction(id, events)).key;
  }
  await setup.browser();
});
after(() => setup.stop());

// The drawn rows, top to bottom, with what the tests look at.
function drawnRows(page) {
  return page.$$eval('.waterfall .row', (rows) => rows
    .map((row) => ({
      index: Number(row.dataset.index),
      depth: Number(row.dataset.depth),
      time: row.dataset.time === undefined ? null : Number(row.dataset.time),
      kind: [...row.classList].find((c) => c.startsWith('kind-')).slice(5),
      text: row.querySelector('.label').textContent,
      type: row.querySelector('.type')?.textContent ?? null,
    }))
    .sort((a, b) => a.index - b.index));
}

function centreX(page, selector) {
  return page.$eval(selector, (node) => {
    const box = node.getBoundingClientRect();
    return {left: box.left, right: box.right, centre: box.left + box.width / 2};
  });
}

test('order-7781 opens from the search as a waterfall with the inventory call nested', async () => {
  const page = await setup.page();
  await page.goto(setup.base + '/?id=order-7781');
  await page.waitForSelector('table.results tbody a');
  await Promise.all([page.waitForNavigation(), page.click('table.results tbody a')]);
  assert.equal(new URL(page.url()).pathname, `/t/${keys['order-7781']}`);
  await page.waitForSelector('.waterfall .row');
  assert.equal(await page.$eval('h1', (n) => n.textContent), 'order-7781');
  assert.equal(await page.$eval('.summary-outcome .outcome', (n) => n.textContent), 'COMMIT');

  const rows = await drawnRows(page);
  const own = rows.filter((r) => r.kind === 'event' && r.depth === 0);
  assert.deepEqual(own.map((r) => r.type),
                   ['STARTED_INBOUND', 'OUTBOUND', 'INBOUND', 'FINISHED', 'COMMIT']);
  assert.deepEqual(own.map((r) => r.time), own.map((r) => r.time).sort((a, b) => a - b));
  // Under the OUTBOUND: its call, then the inventory's transaction and its events.
  const outbound = rows.findIndex((r) => r.type === 'OUTBOUND' && r.depth === 0);
  assert.equal(rows[outbound + 1].kind, 'call');
  assert.match(rows[outbound + 1].text, /inventory-call-1/);
  assert.equal(rows[outbound + 2].kind, 'txn');
  assert.match(rows[outbound + 2].text, /stock-991.*COMMIT/);
  assert.deepEqual(rows.filter((r) => r.depth === 3).map((r) => r.type),
                   ['STARTED_INBOUND', 'HERE', 'FINISHED', 'COMMIT']);

  // The call's bar runs from the OUTBOUND's mark to the INBOUND's.
  const bar = await centreX(page, '.kind-call .bar');
  const from = await centreX(page, `.row[data-index="${rows[outbound].index}"] .mark`);
  const inbound = rows.find((r) => r.type === 'INBOUND' && r.depth === 0);
  const to = await centreX(page, `.row[data-index="${inbound.index}"] .mark`);
  assert.ok(Math.abs(bar.left - from.centre) <= 2, `bar starts at ${bar.left}, OUTBOUND at ${from.centre}`);
  assert.ok(Math.abs(bar.right - to.centre) <= 2, `bar ends at ${bar.right}, INBOUND at ${to.centre}`);

  // A click opens every field of the event.
  await page.click(`.row[data-index="${rows[outbound].index}"] .label`);
  assert.equal(await page.$eval('.details h2', (n) => n.textContent), 'OUTBOUND (event 2)');
  const details = await page.$eval('.details', (n) => n.textContent);
  assert.match(details, /inventory-call-1/);
  assert.match(details, /inventory\.internal/);
  await setup.screenshot(page, 'transaction');

  // The keyboard walks the rows one by one and folds the nested transaction.
  await page.focus('.viewport');
  await page.keyboard.press('Home');
  for (let row = 0; row < outbound; ++row) await page.keyboard.press('ArrowDown');
  assert.equal(await page.$eval('.details h2', (n) => n.textContent), 'OUTBOUND (event 2)');
  await page.keyboard.press('ArrowDown');
  await page.keyboard.press('ArrowDown');
  await page.keyboard.press('ArrowLeft');
  const folded = await drawnRows(page);
  assert.equal(folded.filter((r) => r.depth === 3).length, 0);
  assert.equal(await page.$eval('.kind-txn .toggle', (n) => n.getAttribute('aria-expanded')), 'false');
  assert.deepEqual(page.errors, []);
});

test('the deep link shows the same transaction after a reload', async () => {
  const page = await setup.page();
  await page.goto(`${setup.base}/t/${keys['order-7781']}`);
  await page.waitForSelector('.waterfall .row');
  const before = await drawnRows(page);
  await page.reload();
  await page.waitForSelector('.waterfall .row');
  assert.equal(await page.$eval('h1', (n) => n.textContent), 'order-7781');
  assert.deepEqual(await drawnRows(page), before);
});

test('markup in an event shows as text and runs nothing', async () => {
  const page = await setup.page();
  await page.goto(`${setup.base}/t/${keys[MARKUP_ID]}`);
  await page.waitForSelector('.waterfall .row');
  assert.equal(await page.$eval('h1', (n) => n.textContent), MARKUP_ID);
  assert.equal(await page.$eval('.summary-outcome .outcome', (n) => n.textContent), 'ROLLBACK');
  await page.click('.row[data-index="0"] .label');
  const cells = await texts(page, '.details td');
  assert.ok(cells.includes(MARKUP_VALUE), `details cells: ${JSON.stringify(cells)}`);
  assert.match(await page.$eval('.row[data-index="1"]', (n) => n.textContent), /blocked/);
  assert.equal(await page.$$eval('main img, main script', (n) => n.length), 0);
  assert.equal(await page.evaluate(() => window.__veskaPwned), undefined);
});

test('an OUTBOUND nobody answered is shown in place and flagged', async () => {
  const page = await setup.page();
  await page.goto(`${setup.base}/t/${keys['orphan-call-1']}`);
  await page.waitForSelector('.waterfall .row');
  const rows = await drawnRows(page);
  const outbound = rows.findIndex((r) => r.type === 'OUTBOUND');
  assert.match(rows[outbound].text, /unmatched/);
  const unmatched = rows.filter((r) => r.kind === 'unmatched');
  assert.equal(unmatched.length, 1);
  assert.match(unmatched[0].text, /nobody-answers-1/);
  assert.ok(rows.indexOf(unmatched[0]) > outbound, 'listed after its OUTBOUND');
  assert.match(await page.$eval('.notes', (n) => n.textContent), /unmatched link/);
});

test('a 50 000-event transaction opens and scrolls to its end with a small DOM', async () => {
  const page = await setup.page();
  const started = Date.now();
  await page.goto(`${setup.base}/t/${keys['bulk-50000']}`);
  await page.waitForSelector('.waterfall .row');
  const firstPaint = Date.now() - started;
  const rowsAtOpen = await page.$$eval('.waterfall .row', (n) => n.length);
  // How the time splits between the collector's answer and the page's own work.
  const split = await page.evaluate(() => {
    const answer = performance.getEntriesByType('resource').find((e) => e.name.includes('/api/'));
    const drawn = performance.getEntriesByName('veska-waterfall-drawn')[0];
    return {answered: Math.round(answer.responseEnd - answer.startTime),
            megabytes: (answer.encodedBodySize / 1e6).toFixed(1),
            drawing: Math.round(drawn.startTime - answer.responseEnd)};
  });

  const scrollStarted = Date.now();
  // Scroll in steps as a person dragging would, then to the very end.
  for (let step = 0; step < 20; ++step) {
    await page.$eval('.viewport', (v) => { v.scrollTop += v.scrollHeight / 20; });
  }
  await page.$eval('.viewport', (v) => { v.scrollTop = v.scrollHeight; });
  const dragged = Date.now() - scrollStarted;
  await page.waitForFunction(() => [...document.querySelectorAll('.waterfall .row .type')]
                                       .some((n) => n.textContent === 'COMMIT'));
  const scrolled = Date.now() - scrollStarted;
  const rowsAtEnd = await page.$$eval('.waterfall .row', (n) => n.length);
  const held = await page.$eval('.viewport', (v) => Number(v.dataset.eventsHeld));
  const pagesFetched = await page.evaluate(() => performance.getEntriesByType('resource')
                                                 .filter((e) => e.name.includes('/events?')).length);
  console.log(`50 000 events: first rows drawn after ${firstPaint} ms (${rowsAtOpen} rows in the ` +
              `DOM; the API answered ${split.megabytes} MB in ${split.answered} ms, the page ` +
              `parsed and drew in ${split.drawing} ms); scrolled to the end in ${scrolled} ms ` +
              `(${dragged} ms of them dragging; ${rowsAtEnd} rows in the DOM; ${pagesFetched} ` +
              `later pages fetched, ${held} events held)`);
  assert.ok(rowsAtOpen < 2000 && rowsAtEnd < 2000);
  // Pages are let go as the view leaves them: a bounded number of events is ever held.
  assert.ok(held > 0 && held <= 8000, `${held} events held`);

  await page.focus('.viewport');
  await page.keyboard.press('End');
  assert.equal(await page.$eval('.details h2', (n) => n.textContent), 'COMMIT (event 50000)');
  assert.deepEqual(page.errors, []);
});

test('events whose page has not arrived show as loading, then fill in, by scroll and by key', async () => {
  const page = await setup.page();
  // Later pages wait here until the test lets them through.
  let holding = true;
  const held = [];
  await page.setRequestInterception(true);
  page.on('request', (request) => {
    if (holding && request.url().includes('/events?')) held.push(request);
    else request.continue();
  });
  await page.goto(`${setup.base}/t/${keys['bulk-50000']}`);
  await page.waitForSelector('.waterfall .row');
  await page.$eval('.viewport', (v) => { v.scrollTop = v.scrollHeight / 2; });
  await page.waitForSelector('.waterfall .row.loading');
  const waiting = await drawnRows(page);
  assert.ok(waiting.length > 10);
  for (const row of waiting) {
    assert.equal(row.kind, 'event');
    assert.match(row.text, /^#\d+loading…$/, 'each row not yet here says it is loading');
  }
  const first = waiting[0].index;

  // End walks to the last event: its details wait for its page, then show it.
  await page.focus('.viewport');
  await page.keyboard.press('End');
  assert.equal(await page.$eval('.details h2', (n) => n.textContent), 'Event 50000');
  await waitFor('a held page request', () => held.length > 0, 30);
  holding = false;
  for (const request of held.splice(0)) request.continue();
  await page.waitForFunction(() => document.querySelector('.details h2').textContent ===
                             'COMMIT (event 50000)');
  await page.$eval('.viewport', (v) => { v.scrollTop = v.scrollHeight / 2; });
  await page.waitForFunction(() => !document.querySelector('.waterfall .row.loading'));
  const filled = (await drawnRows(page)).filter((r) => r.index === first);
  assert.equal(filled[0]?.type, 'HERE');
  assert.deepEqual(page.errors, []);
});
