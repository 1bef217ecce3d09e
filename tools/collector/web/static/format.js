// Turns the API's numbers and byte strings into the words a person reads.

export function formatDuration(us) {
  if (us === null || us === undefined || !Number.isFinite(Number(us))) return '–';
  const n = Number(us);
  const abs = Math.abs(n);
  if (abs < 1000) return `${n} µs`;
  if (abs < 1e6) return `${trim(n / 1000)} ms`;
  if (abs < 60e6) return `${trim(n / 1e6)} s`;
  const minutes = Math.floor(abs / 60e6);
  const seconds = Math.round((abs - minutes * 60e6) / 1e6);
  return `${n < 0 ? '-' : ''}${minutes} min ${seconds} s`;
}

// Three significant digits at most, without trailing zeros.
function trim(value) {
  const digits = Math.abs(value) >= 100 ? 0 : Math.abs(value) >= 10 ? 1 : 2;
  return String(Number(value.toFixed(digits)));
}

function pad(n, width = 2) {
  return String(n).padStart(width, '0');
}

// Local time with milliseconds: "2026-12-09 14:31:05.123".
export function formatTime(us) {
  if (us === null || us === undefined || !Number.isFinite(Number(us))) return '–';
  const date = new Date(Math.floor(Number(us) / 1000));
  if (Number.isNaN(date.getTime())) return '–';
  return `${date.getFullYear()}-${pad(date.getMonth() + 1)}-${pad(date.getDate())} ` +
      `${pad(date.getHours())}:${pad(date.getMinutes())}:${pad(date.getSeconds())}.` +
      pad(date.getMilliseconds(), 3);
}

export function formatOffset(us) {
  return '+' + formatDuration(us);
}

const OUTCOME_WORDS = {
  commit: 'COMMIT',
  rollback: 'ROLLBACK',
  finished: 'FINISHED',
  open: 'OPEN',
  stuck: 'STUCK',
};

// The outcome in words; the colour that goes with it is the class "outcome-<name>".
export function outcomeWord(outcome) {
  return OUTCOME_WORDS[outcome] || String(outcome ?? 'unknown').toUpperCase();
}

export function outcomeClass(outcome) {
  return OUTCOME_WORDS[outcome] ? `outcome outcome-${outcome}` : 'outcome';
}

// A byte string as the API gives it: a string, or {"hex": "..."} when its bytes are not all
// printable.
export function bytesText(value) {
  if (value === null || value === undefined) return '';
  if (typeof value === 'string') return value;
  if (typeof value === 'object' && typeof value.hex === 'string') return `hex ${value.hex}`;
  return JSON.stringify(value);
}

// An event's type as a word: its name, or what the store says of bytes it could not decode.
export function eventName(event) {
  if (typeof event.type_name === 'string') return event.type_name;
  if (event.kind === 'undecodable') return 'undecodable';
  return `type ${event.type}`;
}

// A transaction's id as text (ids that are not printable come as hex).
export function transactionIdText(summary, fallback = '') {
  return summary && summary.transaction_id !== undefined ? bytesText(summary.transaction_id)
                                                          : String(fallback ?? '');
}

export function plural(count, one, many = one + 's') {
  return `${count} ${count === 1 ? one : many}`;
}
