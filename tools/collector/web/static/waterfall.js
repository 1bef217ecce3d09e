// The waterfall: every event of a transaction and of the transactions it called, on one time
// axis, drawn through a virtual list. Keyboard: up/down walk the rows, left/right collapse and
// expand a called transaction, Enter or a click opens an event's details. A transaction whose
// events come in pages has a row for each of them from the start; a row whose page has not
// arrived says so until it does.
import {el, transactionHref} from './dom.js';
import {showDetailsHint, showEventDetails, showEventLoading} from './event_details.js';
import {bytesText, eventName, formatDuration, formatOffset, outcomeClass, outcomeWord, transactionIdText} from './format.js';
import {VirtualList} from './virtual_list.js';
import {flattenRows, timeBounds} from './waterfall_rows.js';

const ROW_HEIGHT = 26;
const INDENT_PX = 16;
const AXIS_TICKS = 4;

// pages: the transaction's own events when they come in pages (an EventPages), else null.
export function createWaterfall(root, detailsPanel, pages = null) {
  const rootEventAt = pages ? (index) => pages.get(index) : null;
  if (pages) root = {...root, eventAt: rootEventAt};
  const bounds = timeBounds(root);
  const span = bounds.end - bounds.start;
  const percent = (us) => `${(Math.min(Math.max(Number(us) - bounds.start, 0), span) / span) * 100}%`;
  const expanded = new Map();
  let rows = [];
  let selected = -1;
  let detailsWaiting = -1;  // the row whose details show once its page arrives

  const axis = el('div', {class: 'axis', 'aria-hidden': 'true'},
                  el('div', {class: 'label', text: 'Event'}), axisTrack(span));
  const content = el('div', {class: 'rows'});
  const viewport = el('div', {class: 'viewport', tabindex: 0, role: 'listbox',
                              'aria-label': 'Events of the transaction, in time order'},
                      axis, content);
  const list = new VirtualList(viewport, axis, content, ROW_HEIGHT, renderRow,
                               pages ? wantDrawnEvents : null);

  // Asks for the pages of the transaction's own events among the drawn rows.
  function wantDrawnEvents(first, last) {
    let low = Infinity;
    let high = -Infinity;
    for (let index = first; index <= last; ++index) {
      const row = rows[index];
      if (row?.kind !== 'event' || row.eventAt !== rootEventAt) continue;
      low = Math.min(low, row.index);
      high = Math.max(high, row.index);
    }
    if (low <= high) pages.want(low, high);
  }

  function pageArrived() {
    viewport.dataset.eventsHeld = String(pages.held());
    list.redraw();
    if (detailsWaiting === selected && rows[selected]?.event) {
      detailsWaiting = -1;
      showEventDetails(detailsPanel, rows[selected].event, rows[selected].index + 1);
    }
  }
  if (pages) pages.onLoaded = pageArrived;

  function rebuild() {
    const selectedId = rows[selected]?.id;
    rows = flattenRows(root, expanded);
    selected = selectedId === undefined ? selected : rows.findIndex((row) => row.id === selectedId);
    // A short transaction gets a short box; a long one scrolls inside at most most of the window.
    viewport.style.height = `min(68vh, 44rem, ${(rows.length + 1) * ROW_HEIGHT + 2}px)`;
    list.setRows(rows);
    updateActive();
  }

  function select(index, openDetails) {
    if (rows.length === 0) return;
    selected = Math.min(Math.max(index, 0), rows.length - 1);
    list.scrollToIndex(selected);
    list.redraw();
    updateActive();
    const row = rows[selected];
    if (row.kind !== 'event' || !openDetails) return;
    if (row.event) {
      detailsWaiting = -1;
      showEventDetails(detailsPanel, row.event, row.index + 1);
    } else {
      detailsWaiting = selected;
      showEventLoading(detailsPanel, row.index + 1);
    }
  }

  function updateActive() {
    if (selected >= 0 && selected < rows.length) {
      viewport.setAttribute('aria-activedescendant', rowElementId(selected));
    } else {
      viewport.removeAttribute('aria-activedescendant');
    }
  }

  function toggle(index, open) {
    const row = rows[index];
    if (!row || row.kind !== 'txn') return;
    expanded.set(row.id, open === undefined ? !row.expanded : open);
    rebuild();
  }

  function renderRow(row, index) {
    const element = el('div', {id: rowElementId(index), role: 'option',
                               class: `row kind-${row.kind}${rowClasses(row)}`,
                               'aria-selected': index === selected ? 'true' : 'false',
                               dataset: {index, depth: row.depth,
                                         time: row.kind === 'event' ? row.event?.time_us : null}});
    const label = el('div', {class: 'label'});
    label.style.paddingLeft = `${0.5 * 16 + row.depth * INDENT_PX}px`;
    const track = el('div', {class: 'track'});
    fillRow(row, label, track, index);
    element.append(label, track);
    element.addEventListener('click', (event) => {
      if (event.target.closest('a, button')) return;
      select(index, true);
    });
    return element;
  }

  // A bar's label sits after its end, or before it where the end is near the right edge.
  function barLabel(text, endUs) {
    const label = el('span', {class: 'bar-label', text});
    const at = percent(endUs);
    if (parseFloat(at) > 75) {
      label.classList.add('before');
      label.style.right = `calc(100% - ${at})`;
    } else {
      label.style.left = at;
    }
    return label;
  }

  function fillRow(row, label, track, index) {
    if (row.kind === 'event' && !row.event) {
      // Not missing: its page is on its way (or, after a failure, will be asked for again).
      const failure = pages?.failure(row.index);
      label.append(el('span', {class: 'offset', text: `#${row.index + 1}`}),
                   el('span', {class: 'pending', text: failure ? `⚠ not loaded: ${failure}` :
                                                                 'loading…'}));
    } else if (row.kind === 'event') {
      const event = row.event;
      const name = eventName(event);
      label.append(el('span', {class: 'offset', text: formatOffset(Number(event.time_us) - bounds.start)}),
                   el('span', {class: 'type', text: name}));
      if (event.blocked) label.append(el('span', {class: 'tag tag-blocked', text: 'blocked'}));
      if (row.unmatched) label.append(el('span', {class: 'tag tag-unmatched', text: '⚠ unmatched'}));
      const mark = el('span', {class: 'mark', title: name});
      mark.style.left = percent(event.time_us);
      track.append(mark);
    } else if (row.kind === 'call') {
      const call = row.call;
      const answered = call.end_us !== null && call.end_us !== undefined;
      label.append(el('span', {class: 'type', text: 'call'}),
                   el('span', {class: 'link', text: bytesText(call.link_id)}));
      const bar = el('span', {class: answered ? 'bar' : 'bar unanswered'});
      const end = answered ? call.end_us : bounds.end;
      bar.style.left = percent(call.start_us);
      bar.style.width = `calc(${percent(end)} - ${percent(call.start_us)})`;
      track.append(bar, barLabel(answered ? formatDuration(call.duration_us ??
                                                           call.end_us - call.start_us)
                                          : '⚠ no answer', end));
    } else if (row.kind === 'txn') {
      const summary = row.detail.transaction ?? {};
      label.append(
        el('button', {type: 'button', class: 'toggle', 'aria-expanded': String(row.expanded),
                      'aria-label': row.expanded ? 'Collapse' : 'Expand',
                      text: row.expanded ? '▾' : '▸', onclick: () => toggle(index)}),
        el('a', {href: transactionHref(summary.key), class: 'txn-link',
                 text: transactionIdText(summary, summary.key)}),
        el('span', {class: outcomeClass(summary.outcome), text: outcomeWord(summary.outcome)}));
      if (row.skew) label.append(el('span', {class: 'tag tag-skew', text: `⚠ ${row.skew}`}));
      const bar = el('span', {class: 'span-bar'});
      bar.style.left = percent(summary.start_us);
      bar.style.width = `calc(${percent(summary.end_us ?? summary.start_us)} - ${percent(summary.start_us)})`;
      track.append(bar, barLabel(formatDuration(summary.duration_us),
                                 summary.end_us ?? summary.start_us));
    } else if (row.kind === 'unmatched') {
      const link = row.link;
      label.append(el('span', {class: 'tag tag-unmatched',
                               text: `⚠ unmatched ${link.kind ?? ''} link ${bytesText(link.link_id)}`}));
      track.append(el('span', {class: 'reason', text: String(link.reason ?? 'nobody answered it')}));
    } else {
      label.append(el('a', {href: transactionHref(row.key), text: row.text}));
    }
  }

  viewport.addEventListener('keydown', (event) => {
    const page = list.rowsPerPage();
    const moves = {ArrowDown: 1, ArrowUp: -1, PageDown: page, PageUp: -page, j: 1, k: -1};
    if (event.key in moves) select(selected < 0 ? 0 : selected + moves[event.key], true);
    else if (event.key === 'Home') select(0, true);
    else if (event.key === 'End') select(rows.length - 1, true);
    else if (event.key === 'ArrowLeft') toggle(selected, false);
    else if (event.key === 'ArrowRight') toggle(selected, true);
    else if (event.key === 'Enter' || event.key === ' ') {
      if (rows[selected]?.kind === 'txn') toggle(selected);
      else select(selected, true);
    } else return;
    event.preventDefault();
  });

  showDetailsHint(detailsPanel);
  rebuild();
  // draw() again once the viewport is in the document and has its height.
  return {element: viewport, refresh: () => list.draw()};
}

function rowElementId(index) {
  return `waterfall-row-${index}`;
}

function rowClasses(row) {
  if (row.kind !== 'event') return '';
  if (!row.event) return ' loading';
  const name = eventName(row.event);
  return (name === 'ROLLBACK' ? ' rollback' : '') + (row.event.blocked ? ' blocked' : '') +
         (row.unmatched ? ' unmatched' : '');
}

function axisTrack(span) {
  const track = el('div', {class: 'track'});
  for (let i = 0; i <= AXIS_TICKS; ++i) {
    const tick = el('span', {class: 'tick', text: formatOffset(Math.round((span * i) / AXIS_TICKS))});
    tick.style.left = `${(i * 100) / AXIS_TICKS}%`;
    track.append(tick);
  }
  return track;
}
