// The transaction view ("/t/KEY"): the summary, the notes that qualify it (clock skew, events a
// client dropped meanwhile, links nobody answered), its callers, and the waterfall with the
// details of the chosen event beside it.
import {getTransactionEvents, getTransactionPage} from './api.js';
import {append, clear, el, errorBox, transactionHref} from './dom.js';
import {bytesText, formatDuration, formatTime, outcomeClass, outcomeWord, plural, transactionIdText} from './format.js';
import {EventPages, PAGE_EVENTS} from './event_pages.js';
import {createWaterfall} from './waterfall.js';
import {MAX_EVENT_ROWS} from './waterfall_rows.js';

// The first answer carries a few screens of events beyond the first; later pages are smaller.
const FIRST_PAGE_EVENTS = 4 * PAGE_EVENTS;

function summaryLine(summary) {
  const clients = Array.isArray(summary.clients) ? summary.clients.map(String) : [];
  const item = (name, value, cls) => el('div', {class: cls ?? null}, el('dt', {text: name}),
                                        el('dd', {}, value));
  return el('dl', {class: 'summary'},
    item('Outcome', el('span', {class: outcomeClass(summary.outcome),
                                text: outcomeWord(summary.outcome)}), 'summary-outcome'),
    item('Duration', formatDuration(summary.duration_us), 'summary-duration'),
    item('Started', formatTime(summary.start_us)),
    item('Events', String(summary.events ?? 0), 'summary-events'),
    item('Calls', String(summary.calls ?? 0)),
    item('Clients', clients.join(', ') || '–'));
}

function noteItems(detail) {
  const items = [];
  for (const note of Array.isArray(detail.notes) ? detail.notes : []) {
    const kind = note.kind === 'loss' ? 'loss' : note.kind === 'skew' ? 'skew' : 'other';
    let text = String(note.text ?? '');
    if (kind === 'loss' && !text) {
      text = `${note.client} dropped ${note.events_dropped} events meanwhile: this transaction ` +
             'may be incomplete';
    }
    items.push(el('li', {class: `note note-${kind}`},
                  el('strong', {text: kind === 'loss' ? '⚠ Possible loss: ' :
                                      kind === 'skew' ? '⚠ Clock skew: ' : 'Note: '}),
                  text));
  }
  if (Number(detail.events_total) > MAX_EVENT_ROWS) {
    items.push(el('li', {class: 'note note-other'}, el('strong', {text: 'Not all shown: '}),
                  `the first ${MAX_EVENT_ROWS} of ${detail.events_total} events`));
  }
  if (detail.events_truncated) {
    const shown = Array.isArray(detail.events) ? detail.events.length : 0;
    items.push(el('li', {class: 'note note-other'},
                  el('strong', {text: 'Not all shown: '}),
                  `the first ${shown} of ${detail.transaction?.events ?? 'more'} events`));
  }
  const unmatched = Array.isArray(detail.unmatched) ? detail.unmatched : [];
  if (unmatched.length) {
    items.push(el('li', {class: 'note note-unmatched'},
                  el('strong', {text: `⚠ ${plural(unmatched.length, 'unmatched link')}: `}),
                  unmatched.map((link) => bytesText(link.link_id)).join(', '),
                  ' (shown in place below)'));
  }
  return items;
}

function callersLine(detail) {
  const callers = Array.isArray(detail.callers) ? detail.callers : [];
  if (!callers.length) return null;
  return el('p', {class: 'callers'}, el('span', {text: 'Called by '}),
            callers.map((caller, n) => [n ? ', ' : '',
                                        el('a', {href: transactionHref(caller.key),
                                                 text: transactionIdText(caller, caller.key)})]));
}

export async function showTransaction(main, key) {
  document.title = 'Transaction · veska';
  clear(main).append(el('p', {class: 'loading', text: 'Loading the transaction…'}));
  let detail;
  try {
    // The first page only: the rest of a large transaction follows as it comes into view.
    detail = await getTransactionPage(key, 0, FIRST_PAGE_EVENTS);
  } catch (error) {
    main.replaceChildren(el('h1', {text: 'Transaction'}),
                         errorBox(error.status === 404 ? 'No transaction is stored under this ' +
                                  'link: it may have been removed by retention.' : error.message));
    return;
  }
  const summary = detail.transaction ?? {};
  const id = transactionIdText(summary, key);
  document.title = `${id} · veska`;
  const notes = noteItems(detail);
  const details = el('aside', {class: 'details', 'aria-live': 'polite', 'aria-label': 'Event details'});
  const total = Number.isInteger(detail.events_total) ? detail.events_total : 0;
  const pages = total > (Array.isArray(detail.events) ? detail.events.length : 0) ?
      new EventPages(Math.min(total, MAX_EVENT_ROWS), detail.events,
                     (from, limit) => getTransactionEvents(key, from, limit)) :
      null;
  const waterfall = createWaterfall(detail, details, pages);
  append(clear(main), [
    el('h1', {class: 'txn-id', text: id}),
    summaryLine(summary),
    notes.length ? el('ul', {class: 'notes'}, notes) : null,
    callersLine(detail),
    el('p', {class: 'hint', text: '↑ ↓ walk the events · ← → collapse or expand a called ' +
                                  'transaction · Enter shows an event\'s fields'}),
    el('div', {class: 'waterfall-layout'}, el('div', {class: 'waterfall'}, waterfall.element),
       details)]);
  waterfall.refresh();
  performance.mark('veska-waterfall-drawn');
}
