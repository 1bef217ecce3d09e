// The clients view: every client the collector has heard from, with the library's own drop and
// connection counters; a client that dropped events stands out in words as well as colour.
import {listClients} from './api.js';
import {clear, el, errorBox} from './dom.js';
import {formatTime, plural} from './format.js';

const REFRESH_MS = 5000;

function clientRow(client) {
  const dropped = Number(client.events_dropped) || 0;
  const peer = String(client.peer ?? '');
  return el('tr', {class: dropped > 0 ? 'dropping' : null, dataset: {peer}},
            el('td', {}, el('a', {href: '/?' + new URLSearchParams({client: peer}), text: peer})),
            el('td', {class: 'num', text: client.events ?? 0}),
            el('td', {class: 'num dropped', text: dropped}),
            el('td', {class: 'num', text: client.connections_made ?? 0}),
            el('td', {text: formatTime(client.last_heartbeat_us)}),
            el('td', {text: formatTime(client.last_seen_us)}),
            el('td', {text: formatTime(client.first_seen_us)}),
            el('td', {class: 'flags'},
               dropped > 0 && el('span', {class: 'flag flag-loss',
                                          text: `⚠ dropped ${plural(dropped, 'event')}`})));
}

function clientTable(clients) {
  const head = ['Client', 'Events', 'Dropped', 'Connections', 'Last heartbeat', 'Last seen',
                'First seen', 'Flags'];
  return el('table', {class: 'clients'},
            el('thead', {}, el('tr', {}, head.map((name) => el('th', {scope: 'col', text: name})))),
            el('tbody', {}, clients.map(clientRow)));
}

export function showClients(main) {
  document.title = 'Clients · veska';
  const status = el('p', {class: 'status', role: 'status'});
  const body = el('div', {class: 'clients-body'});
  clear(main).append(el('h1', {text: 'Clients'}), status, body);

  let timer = null;
  async function load() {
    try {
      const answer = await listClients();
      const clients = Array.isArray(answer.clients) ? answer.clients : [];
      const dropping = clients.filter((c) => Number(c.events_dropped) > 0).length;
      status.textContent = `${plural(clients.length, 'client')}, ` +
          `${dropping} dropping events. Updated ${formatTime(Date.now() * 1000)}.`;
      body.replaceChildren(clients.length ? el('div', {class: 'table-scroll'}, clientTable(clients)) :
                                            el('p', {text: 'No client has connected yet.'}));
    } catch (error) {
      body.replaceChildren(errorBox(error.message));
    }
    if (main.contains(body)) timer = setTimeout(load, REFRESH_MS);
  }
  load();
}
