// The details of one event: every field the API gives, name/value lists as tables, byte
// strings that are not printable as their hex digits. All of it as text.
import {el} from './dom.js';
import {bytesText, eventName, formatTime} from './format.js';

// Nested objects deeper than this are shown as their JSON text: the page draws, it does not
// recurse without end.
const MAX_DEPTH = 6;

function isByteString(value) {
  return value !== null && typeof value === 'object' && !Array.isArray(value) &&
         Object.keys(value).length === 1 && typeof value.hex === 'string';
}

function isNameValueList(value) {
  return Array.isArray(value) && value.length > 0 &&
         value.every((item) => item !== null && typeof item === 'object' && 'name' in item &&
                               'value' in item);
}

function valueNode(value, depth) {
  if (value === null || value === undefined) return el('span', {class: 'null', text: 'null'});
  if (isByteString(value)) return el('span', {class: 'hex', text: bytesText(value)});
  if (isNameValueList(value)) {
    return el('table', {class: 'pairs'},
              el('thead', {}, el('tr', {}, el('th', {scope: 'col', text: 'Name'}),
                                 el('th', {scope: 'col', text: 'Value'}))),
              el('tbody', {}, value.map((item) => el('tr', {},
                                                     el('td', {text: bytesText(item.name)}),
                                                     el('td', {text: bytesText(item.value)})))));
  }
  if (typeof value !== 'object') return el('span', {text: String(value)});
  if (depth >= MAX_DEPTH) return el('code', {text: JSON.stringify(value)});
  if (Array.isArray(value)) {
    if (value.length === 0) return el('span', {class: 'null', text: 'none'});
    return el('ol', {}, value.map((item) => el('li', {}, valueNode(item, depth + 1))));
  }
  return fieldList(value, depth + 1);
}

// Objects and lists take the panel's whole width under their name; plain values sit beside it.
function isWide(value) {
  return value !== null && typeof value === 'object' && !isByteString(value) &&
         !(Array.isArray(value) && value.length === 0);
}

function fieldList(object, depth) {
  return el('dl', {class: 'fields'}, Object.entries(object).map(([name, value]) => {
    const wide = isWide(value) ? 'wide' : null;
    return [el('dt', {class: wide, text: name}),
            el('dd', {class: wide, dataset: {field: name}}, valueNode(value, depth))];
  }));
}

export function showEventDetails(panel, event, position) {
  panel.replaceChildren(
    el('h2', {text: `${eventName(event)} (event ${position})`}),
    el('p', {class: 'when', text: formatTime(event.time_us)}),
    fieldList(event, 0));
}

export function showEventLoading(panel, position) {
  panel.replaceChildren(el('h2', {text: `Event ${position}`}),
                        el('p', {class: 'loading', text: 'Loading this event…'}));
}

export function showDetailsHint(panel) {
  panel.replaceChildren(el('h2', {text: 'Event details'}),
                        el('p', {class: 'hint', text: 'Click an event, or walk to it with the ' +
                                 'arrow keys, to see every field it carries.'}));
}
