// The search view: filters for every API filter, kept in the address so a search can be
// bookmarked and shared; a sortable, pageable result table; optional live following.
import {searchTransactions} from './api.js';
import {clear, el, errorBox, transactionHref} from './dom.js';
import {formatDuration, formatTime, outcomeClass, outcomeWord, plural, transactionIdText} from './format.js';

// Parameters passed to the API as they stand in the address.
const API_PARAMS = ['id', 'id_prefix', 'outcome', 'min_duration_us', 'max_duration_us', 'from_us',
                    'to_us', 'client', 'data', 'stitch', 'stuck', 'limit', 'cursor', 'sort',
                    'order'];
const OUTCOMES = ['commit', 'rollback', 'finished', 'open', 'stuck'];
const LIMITS = ['20', '50', '100', '200', '500', '1000'];
const FOLLOW_MS = 2000;
const NEW_FOR_MS = 15000;

// "from" and "to" are local date-times in the address (readable when shared); the API takes
// microseconds since the epoch.
function localTimeToUs(text) {
  const ms = new Date(text).getTime();
  return Number.isFinite(ms) ? String(ms * 1000) : null;
}

export function apiParamsFrom(pageParams) {
  const params = new URLSearchParams();
  for (const name of API_PARAMS) {
    for (const value of pageParams.getAll(name)) {
      if (value !== '') params.append(name, value);
    }
  }
  for (const [page, api] of [['from', 'from_us'], ['to', 'to_us']]) {
    const value = pageParams.get(page);
    if (value && !params.has(api)) {
      const us = localTimeToUs(value);
      if (us !== null) params.set(api, us);
    }
  }
  return params;
}

function go(params) {
  const query = params.toString();
  location.assign(query ? '/?' + query : '/');
}

function textField(name, label, value, attrs = {}) {
  return el('label', {class: 'field'}, el('span', {text: label}),
            el('input', {name, value: value ?? '', ...attrs}));
}

function selectField(name, label, value, options) {
  const select = el('select', {name},
                    options.map(([v, text]) => el('option', {value: v, text, selected: v === value})));
  return el('label', {class: 'field'}, el('span', {text: label}), select);
}

// One input per value already in the address, plus one empty, and a button for more.
function repeatedField(name, label, values, placeholder) {
  const inputs = el('span', {class: 'repeated'});
  const add = (value) => inputs.append(el('input', {name, value, placeholder,
                                                    'aria-label': `${label} NAME:VALUE`}));
  for (const value of values) add(value);
  add('');
  return el('div', {class: 'field'}, el('span', {text: label}), inputs,
            el('button', {type: 'button', class: 'more', text: '+', title: `Another ${label} pair`,
                          'aria-label': `Another ${label} pair`, onclick: () => add('')}));
}

function filterForm(params) {
  const form = el('form', {class: 'filters', role: 'search'},
    textField('id', 'Transaction id', params.get('id')),
    textField('id_prefix', 'Id prefix', params.get('id_prefix')),
    selectField('outcome', 'Outcome', params.get('outcome') ?? '',
                [['', 'any'], ...OUTCOMES.map((o) => [o, outcomeWord(o)])]),
    textField('min_duration_us', 'Min duration (µs)', params.get('min_duration_us'),
              {type: 'number', min: 0, step: 1}),
    textField('max_duration_us', 'Max duration (µs)', params.get('max_duration_us'),
              {type: 'number', min: 0, step: 1}),
    textField('from', 'Started after', params.get('from'), {type: 'datetime-local', step: 1}),
    textField('to', 'Started before', params.get('to'), {type: 'datetime-local', step: 1}),
    textField('client', 'Client', params.get('client'), {placeholder: 'HOST:PORT'}),
    repeatedField('data', 'data', params.getAll('data'), 'customer:C-1042'),
    repeatedField('stitch', 'stitch', params.getAll('stitch'), 'host:inventory.internal'),
    el('label', {class: 'field check'},
       el('input', {type: 'checkbox', name: 'stuck', value: '1', checked: params.get('stuck') === '1'}),
       el('span', {text: 'Stuck only'})),
    selectField('limit', 'Per page', params.get('limit') ?? '50', LIMITS.map((l) => [l, l])),
    el('div', {class: 'actions'},
       el('button', {type: 'submit', text: 'Search'}),
       el('a', {href: '/', class: 'reset', text: 'Clear'})));
  form.addEventListener('submit', (event) => {
    event.preventDefault();
    const next = new URLSearchParams();
    for (const [name, value] of new FormData(form)) {
      if (typeof value === 'string' && value.trim() !== '') next.append(name, value.trim());
    }
    for (const kept of ['sort', 'order', 'follow']) {
      if (params.has(kept)) next.set(kept, params.get(kept));
    }
    go(next);
  });
  return form;
}

function flagTags(summary) {
  const tags = [];
  if (summary.unmatched > 0) {
    tags.push(el('span', {class: 'flag flag-unmatched', text: `⚠ ${summary.unmatched} unmatched`}));
  }
  if (summary.blocked > 0) {
    tags.push(el('span', {class: 'flag flag-blocked', text: `${summary.blocked} blocked`}));
  }
  if (summary.dropped_nearby > 0) {
    tags.push(el('span', {class: 'flag flag-loss',
                          text: `⚠ may be incomplete (${summary.dropped_nearby} dropped)`}));
  }
  return tags;
}

function resultRow(summary, isNew) {
  const clients = Array.isArray(summary.clients) ? summary.clients.map(String) : [];
  return el('tr', {class: isNew ? 'new' : null, dataset: {key: String(summary.key)}},
    el('td', {class: 'time', text: formatTime(summary.start_us)}),
    el('td', {class: 'id'}, el('a', {href: transactionHref(summary.key),
                                     text: transactionIdText(summary)})),
    el('td', {class: 'num duration', text: formatDuration(summary.duration_us)}),
    el('td', {}, el('span', {class: outcomeClass(summary.outcome),
                             text: outcomeWord(summary.outcome)})),
    el('td', {class: 'num events', text: summary.events ?? 0}),
    el('td', {class: 'clients', title: clients.join(', ') || null,
              text: clients.length === 1 ? clients[0] : plural(clients.length, 'client')}),
    el('td', {class: 'flags'}, flagTags(summary)));
}

// A column header that sorts by `field`, toggling the order when it already does.
function sortHeader(label, field, params) {
  const sort = params.get('sort') ?? 'start';
  const order = params.get('order') ?? 'desc';
  const active = sort === field;
  const next = new URLSearchParams(params);
  next.delete('cursor');
  next.set('sort', field);
  next.set('order', active && order === 'desc' ? 'asc' : 'desc');
  const arrow = active ? (order === 'desc' ? ' ▼' : ' ▲') : '';
  return el('th', {scope: 'col', 'aria-sort': active ? (order === 'desc' ? 'descending' : 'ascending') : null},
            el('a', {href: '/?' + next, class: 'sort', dataset: {sort: field}, text: label + arrow}));
}

function resultTable(params) {
  const head = el('tr', {},
    sortHeader('Start', 'start', params),
    el('th', {scope: 'col', text: 'Transaction'}),
    sortHeader('Duration', 'duration', params),
    el('th', {scope: 'col', text: 'Outcome'}),
    el('th', {scope: 'col', text: 'Events'}),
    el('th', {scope: 'col', text: 'Clients'}),
    el('th', {scope: 'col', text: 'Flags'}));
  return el('table', {class: 'results'}, el('thead', {}, head), el('tbody'));
}

function totalText(answer, shown) {
  const total = Number(answer.total) || 0;
  const of = answer.truncated ? `more than ${total}` : String(total);
  return `${shown} shown of ${of} matching ${total === 1 && !answer.truncated ? 'transaction' : 'transactions'}`;
}

export function showSearch(main) {
  const params = new URLSearchParams(location.search);
  document.title = 'Transactions · veska';
  const following = params.get('follow') === '1';
  const total = el('p', {class: 'total', role: 'status'});
  const live = el('p', {class: 'live-status', 'aria-live': 'polite'});
  const table = resultTable(params);
  const pager = el('nav', {class: 'pager', 'aria-label': 'Pages'});
  const problem = el('div');
  const follow = el('input', {type: 'checkbox', id: 'follow', checked: following});
  clear(main).append(
    el('h1', {text: 'Transactions'}),
    filterForm(params),
    el('div', {class: 'result-head'}, total,
       el('label', {class: 'check follow'}, follow, el('span', {text: 'Follow new transactions'})),
       live),
    problem, el('div', {class: 'table-scroll'}, table), pager);

  // While following: the keys of the last answer, and when each recent newcomer first appeared
  // (a row stays marked new long enough to be noticed between polls).
  let seen = null;
  const arrived = new Map();
  let timer = null;
  let generation = 0;  // a toggle of the follow box makes answers to older requests stale
  async function load() {
    const query = apiParamsFrom(params);
    const mine = generation;
    try {
      const answer = await searchTransactions(query);
      if (mine !== generation) return;
      const rows = Array.isArray(answer.transactions) ? answer.transactions : [];
      const body = table.tBodies[0];
      const now = Date.now();
      const fresh = rows.filter((s) => seen !== null && !seen.has(String(s.key)));
      for (const s of fresh) arrived.set(String(s.key), now);
      const isNew = (s) => now - (arrived.get(String(s.key)) ?? -Infinity) < NEW_FOR_MS;
      body.replaceChildren(...rows.map((s) => resultRow(s, isNew(s))));
      if (rows.length === 0) {
        body.append(el('tr', {}, el('td', {colspan: 7, class: 'empty',
                                           text: 'No transaction matches these filters.'})));
      }
      seen = new Set(rows.map((s) => String(s.key)));
      for (const [key, when] of arrived) if (now - when >= NEW_FOR_MS) arrived.delete(key);
      const newCount = rows.filter(isNew).length;
      total.textContent = totalText(answer, rows.length);
      problem.replaceChildren();
      renderPager(pager, params, answer.next);
      if (params.get('follow') === '1') {
        live.textContent = `Following: updated ${formatTime(Date.now() * 1000).slice(11)}` +
            (newCount ? `, ${plural(newCount, 'new transaction')}` : '');
      }
    } catch (error) {
      if (mine !== generation) return;
      problem.replaceChildren(errorBox(error.message));
    }
    if (params.get('follow') === '1' && main.contains(table)) timer = setTimeout(load, FOLLOW_MS);
  }

  // Following watches the first page as new transactions arrive; the choice stays in the
  // address without a reload.
  follow.addEventListener('change', () => {
    clearTimeout(timer);
    ++generation;
    if (follow.checked) {
      params.set('follow', '1');
      params.delete('cursor');
    } else {
      params.delete('follow');
      live.textContent = '';
    }
    history.replaceState(null, '', params.toString() ? '/?' + params : '/');
    if (follow.checked) load();
  });
  load();
}

function renderPager(pager, params, next) {
  pager.replaceChildren();
  if (params.has('cursor')) {
    const first = new URLSearchParams(params);
    first.delete('cursor');
    pager.append(el('a', {href: first.toString() ? '/?' + first : '/', class: 'first',
                          text: '← First page'}));
  }
  if (next) {
    const following = new URLSearchParams(params);
    following.set('cursor', String(next));
    following.delete('follow');
    pager.append(el('a', {href: '/?' + following, class: 'next', rel: 'next', text: 'Next page →'}));
  }
}
