// The search page as a person uses it: find order-7781, narrow the list with filters that stay
// in the address, sort, page, and follow new transactions as they arrive.
import assert from 'node:assert/strict';
import {after, before, test} from 'node:test';
import {MARKUP_ID, Setup, texts} from './harness.mjs';

const setup = new Setup();
let order;

before(async () => {
  await setup.start();
  await setup.runDemo();
  await setup.runCases('markup', 'unmatched');
  order = await setup.waitForTransaction('order-7781', 5);
  await setup.waitForTransaction('stock-991', 4);
  await setup.waitForTransaction(MARKUP_ID, 4);
  await setup.waitForTransaction('orphan-call-1', 4);
  await setup.browser();
});
after(() => setup.stop());

// "6.5 ms" back to microseconds, for comparing a shown duration with the stored one.
function durationUs(text) {
  const [, number, unit] = text.match(/^([\d.]+) (µs|ms|s)$/) ?? [];
  assert.ok(number, `"${text}" is not a duration`);
  return Number(number) * {'µs': 1, ms: 1e3, s: 1e6}[unit];
}

async function rowsOf(page) {
  return page.$$eval('table.results tbody tr[data-key]', (rows) => rows.map((row) => ({
    id: row.querySelector('.id').textContent,
    outcome: row.querySelector('.outcome').textContent,
    duration: row.querySelector('.duration').textContent,
    flags: row.querySelector('.flags').textContent,
  })));
}

async function submitAndWait(page) {
  await Promise.all([page.waitForNavigation(), page.click('form.filters button[type=submit]')]);
  await page.waitForSelector('.total:not(:empty)');
}

test('the search page lists order-7781 as COMMIT with its duration, the total and flags', async () => {
  const page = await setup.page();
  await page.goto(setup.base + '/');
  await page.waitForSelector('table.results tbody tr[data-key]');
  const rows = await rowsOf(page);
  const row = rows.find((r) => r.id === 'order-7781');
  assert.ok(row, 'order-7781 is listed');
  assert.equal(row.outcome, 'COMMIT');
  assert.ok(Math.abs(durationUs(row.duration) - order.duration_us) <= order.duration_us * 0.01 + 1);
  assert.match(await page.$eval('.total', (n) => n.textContent), /^\d+ shown of \d+ matching/);
  assert.match(rows.find((r) => r.id === 'orphan-call-1').flags, /unmatched/);
  assert.ok(rows.some((r) => r.id === MARKUP_ID), 'the markup id is shown as its characters');
  await setup.screenshot(page, 'search');
  assert.deepEqual(page.errors, []);
});

test('filters narrow the list and live in the address', async () => {
  const page = await setup.page();
  await page.goto(setup.base + '/');
  await page.waitForSelector('table.results tbody tr[data-key]');

  await page.select('select[name=outcome]', 'rollback');
  await submitAndWait(page);
  assert.equal(new URL(page.url()).searchParams.get('outcome'), 'rollback');
  let rows = await rowsOf(page);
  assert.deepEqual(rows.map((r) => r.id), [MARKUP_ID]);
  assert.equal(rows[0].outcome, 'ROLLBACK');

  // A minimum one microsecond above order-7781's duration leaves it out.
  await page.goto(setup.base + '/');
  await page.waitForSelector('table.results tbody tr[data-key]');
  await page.type('input[name=min_duration_us]', String(order.duration_us + 1));
  await submitAndWait(page);
  assert.equal(new URL(page.url()).searchParams.get('min_duration_us'), String(order.duration_us + 1));
  rows = await rowsOf(page);
  assert.ok(!rows.some((r) => r.id === 'order-7781'));
  for (const r of rows) assert.ok(durationUs(r.duration) >= order.duration_us * 0.99);

  await page.goto(setup.base + '/');
  await page.waitForSelector('table.results tbody tr[data-key]');
  await page.type('input[name=data]', 'customer:C-1042');
  await submitAndWait(page);
  assert.deepEqual(new URL(page.url()).searchParams.getAll('data'), ['customer:C-1042']);
  assert.deepEqual((await rowsOf(page)).map((r) => r.id), ['order-7781']);

  // The shared address alone gives the same list, and the form shows the filter again.
  await page.goto(page.url());
  await page.waitForSelector('table.results tbody tr[data-key]');
  assert.deepEqual((await rowsOf(page)).map((r) => r.id), ['order-7781']);
  assert.equal(await page.$eval('input[name=data]', (n) => n.value), 'customer:C-1042');
  assert.deepEqual(page.errors, []);
});

test('sorting by duration and paging', async () => {
  const page = await setup.page();
  await page.goto(setup.base + '/?limit=20');
  await page.waitForSelector('table.results tbody tr[data-key]');
  await Promise.all([page.waitForNavigation(), page.click('a.sort[data-sort=duration]')]);
  await page.waitForSelector('table.results tbody tr[data-key]');
  assert.equal(new URL(page.url()).searchParams.get('sort'), 'duration');
  const durations = (await texts(page, 'table.results td.duration')).map(durationUs);
  assert.deepEqual(durations, [...durations].sort((a, b) => b - a));

  await page.goto(setup.base + '/?limit=2');
  await page.waitForSelector('a.next');
  const first = (await rowsOf(page)).map((r) => r.id);
  assert.equal(first.length, 2);
  await Promise.all([page.waitForNavigation(), page.click('a.next')]);
  await page.waitForSelector('table.results tbody tr[data-key]');
  assert.ok(new URL(page.url()).searchParams.get('cursor'));
  const second = (await rowsOf(page)).map((r) => r.id);
  assert.ok(second.length > 0 && second.every((id) => !first.includes(id)));
  assert.ok(await page.$('a.first'));
});

test('following shows a new transaction without a reload', async () => {
  const page = await setup.page();
  await page.goto(setup.base + '/');
  await page.waitForSelector('table.results tbody tr[data-key]');
  await page.evaluate(() => { window.__sameDocument = true; });
  await page.click('#follow');
  assert.equal(new URL(page.url()).searchParams.get('follow'), '1');
  await setup.runCases('late');
  await page.waitForFunction(() => [...document.querySelectorAll('table.results tr.new .id')]
                                       .some((cell) => cell.textContent === 'late-arrival-1'),
                             {timeout: 60000});
  assert.equal(await page.evaluate(() => window.__sameDocument), true);
  assert.match(await page.$eval('.live-status', (n) => n.textContent), /new transaction/);
});
