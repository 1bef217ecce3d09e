// Turns a transaction detail, with the called transactions nested in it, into the flat list of
// rows the waterfall draws: each event, each call under its OUTBOUND, each called transaction
// under its call (unless collapsed), each unmatched link under the event that holds it.

// Called transactions are shown expanded down to this nesting level until a person toggles them.
export const EXPANDED_LEVELS = 2;

// Bounds the walk whatever the data: the API nests a few levels, a hostile answer could nest more.
const MAX_LEVEL = 16;
// Rows of one transaction's events, whatever count an answer claims.
export const MAX_EVENT_ROWS = 1000000;

// A transaction's own events in its order: those an answer carries, or as many as it counts
// ("events_total") when they come in pages through `eventAt`.
export function eventCount(detail) {
  const events = Array.isArray(detail.events) ? detail.events.length : 0;
  const total = Number(detail.events_total);
  const count = Number.isInteger(total) && total > events ? total : events;
  return Math.min(count, MAX_EVENT_ROWS);
}

// An event's row; its event is looked up when drawn, so a page that arrives later, or is let
// go, shows without rebuilding the rows.
class EventRow {
  constructor(id, depth, index, eventAt, unmatched, calls) {
    this.kind = 'event';
    this.id = id;
    this.depth = depth;
    this.index = index;
    this.eventAt = eventAt;
    this.unmatched = unmatched;
    this.calls = calls;
  }

  get event() {
    return this.eventAt(this.index);
  }
}

function finite(value) {
  const n = Number(value);
  return value !== null && value !== undefined && Number.isFinite(n) ? n : null;
}

// The time window of a detail and of everything nested in it: one axis for all rows.
export function timeBounds(root) {
  let start = Infinity;
  let end = -Infinity;
  const note = (value) => {
    const t = finite(value);
    if (t === null) return;
    start = Math.min(start, t);
    end = Math.max(end, t);
  };
  const visit = (detail, level) => {
    if (!detail || level > MAX_LEVEL) return;
    // A paged transaction's first and last times are its summary's.
    note(detail.transaction?.start_us);
    note(detail.transaction?.end_us);
    for (const event of Array.isArray(detail.events) ? detail.events : []) note(event?.time_us);
    for (const call of detail.calls ?? []) {
      note(call.start_us);
      note(call.end_us);
    }
    for (const child of detail.called ?? []) visit(child, level + 1);
  };
  visit(root, 0);
  if (start === Infinity) return {start: 0, end: 1};
  return {start, end: end > start ? end : start + 1};
}

// Where a callee's span does not fit inside its call, in words; null when it fits.
export function skewText(callee, call) {
  const summary = callee.transaction ?? {};
  const calleeStart = finite(summary.start_us);
  const calleeEnd = finite(summary.end_us);
  const callStart = finite(call?.start_us);
  const callEnd = finite(call?.end_us);
  const parts = [];
  if (calleeStart !== null && callStart !== null && calleeStart < callStart) {
    parts.push(`starts ${callStart - calleeStart} µs before its call`);
  }
  if (calleeEnd !== null && callEnd !== null && calleeEnd > callEnd) {
    parts.push(`ends ${calleeEnd - callEnd} µs after its call's answer`);
  }
  return parts.length ? `clock skew? ${parts.join(', ')}` : null;
}

function groupBy(items, keyOf) {
  const groups = new Map();
  for (const item of items) {
    const key = keyOf(item);
    if (!groups.has(key)) groups.set(key, []);
    groups.get(key).push(item);
  }
  return groups;
}

// expanded: Map of row id -> boolean for the nested transactions a person toggled.
export function flattenRows(root, expanded) {
  const rows = [];
  emitEvents(root, 0, 0, 'root', rows, expanded, new Set([root.transaction?.key]));
  return rows;
}

function emitEvents(detail, depth, level, path, rows, expanded, ancestors) {
  const events = Array.isArray(detail.events) ? detail.events : [];
  const calls = Array.isArray(detail.calls) ? detail.calls : [];
  const unmatched = Array.isArray(detail.unmatched) ? detail.unmatched : [];
  const called = Array.isArray(detail.called) ? detail.called : [];
  const callsByOutbound = groupBy(calls, (call) => call.outbound_index);
  const unmatchedByEvent = groupBy(unmatched, (link) => link.event_index);
  const calledByKey = new Map(called.map((child) => [child.transaction?.key, child]));
  const placed = new Set();
  const count = eventCount(detail);
  const eventAt = typeof detail.eventAt === 'function' ? detail.eventAt :
                                                         (index) => events[index] ?? null;

  for (let index = 0; index < count; ++index) {
    const links = unmatchedByEvent.get(index) ?? [];
    const row = new EventRow(`${path}:e${index}`, depth, index, eventAt, links.length,
                             callsByOutbound.get(index) ?? []);
    rows.push(row);
    if (!links.length && !row.calls.length) continue;
    links.forEach((link, n) => {
      rows.push({kind: 'unmatched', id: `${path}:u${index}.${n}`, depth: depth + 1, link});
    });
    row.calls.forEach((call, n) => {
      rows.push({kind: 'call', id: `${path}:c${index}.${n}`, depth: depth + 1, call});
      for (const key of Array.isArray(call.callee_keys) ? call.callee_keys : []) {
        const child = calledByKey.get(key);
        if (!child || placed.has(key)) continue;
        placed.add(key);
        emitNested(child, call, depth + 2, level + 1, path, rows, expanded, ancestors);
      }
    });
  }
  // Called transactions no call accounts for (joined through a vertical link) close the list,
  // with unmatched links that name no event of this transaction.
  for (const child of called) {
    const key = child.transaction?.key;
    if (placed.has(key)) continue;
    placed.add(key);
    emitNested(child, null, depth + 1, level + 1, path, rows, expanded, ancestors);
  }
  unmatched.forEach((link, n) => {
    const at = finite(link.event_index);
    if (at === null || at < 0 || at >= count) {
      rows.push({kind: 'unmatched', id: `${path}:u-${n}`, depth, link, event: null});
    }
  });
}

function emitNested(child, call, depth, level, parentPath, rows, expanded, ancestors) {
  const key = child.transaction?.key;
  const id = `${parentPath}/${key}`;
  if (ancestors.has(key) || level > MAX_LEVEL) {
    rows.push({kind: 'more', id, depth, key, text: 'already shown above (a cycle of calls)'});
    return;
  }
  const open = expanded.has(id) ? expanded.get(id) : level <= EXPANDED_LEVELS;
  rows.push({kind: 'txn', id, depth, detail: child, call, expanded: open,
             skew: call ? skewText(child, call) : null});
  if (!open) return;
  if (child.truncated) {
    rows.push({kind: 'more', id: `${id}:more`, depth: depth + 1, key,
               text: 'nested deeper than shown here: open it on its own page'});
  }
  const inner = new Set(ancestors).add(key);
  emitEvents(child, depth + 1, level, id, rows, expanded, inner);
  if (child.events_truncated) {
    rows.push({kind: 'more', id: `${id}:events`, depth: depth + 1, key,
               text: 'more events than shown here: open it on its own page'});
  }
}
