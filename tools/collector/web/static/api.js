// The collector's HTTP API as the page uses it: every call resolves to parsed JSON or throws an
// ApiError with the server's own message.

const TIMEOUT_MS = 60000;

export class ApiError extends Error {
  constructor(message, status) {
    super(message);
    this.status = status;
  }
}

async function getJson(path, params) {
  const query = params ? params.toString() : '';
  const controller = new AbortController();
  const timer = setTimeout(() => controller.abort(), TIMEOUT_MS);
  let response;
  try {
    response = await fetch(query ? `${path}?${query}` : path, {
      headers: {Accept: 'application/json'},
      signal: controller.signal,
      cache: 'no-store',
    });
  } catch (error) {
    throw new ApiError(controller.signal.aborted ? 'The collector did not answer in time.' :
                                                   'The collector cannot be reached.', 0);
  } finally {
    clearTimeout(timer);
  }
  let body = null;
  try {
    body = await response.json();
  } catch (error) {
    body = null;
  }
  if (!response.ok) {
    const reason = body && typeof body.error === 'string' ? body.error : response.statusText;
    throw new ApiError(`${response.status}: ${reason}`, response.status);
  }
  if (body === null || typeof body !== 'object') {
    throw new ApiError('The collector answered something that is not JSON.', response.status);
  }
  return body;
}

// params: URLSearchParams of API filters (repeated names allowed).
export function searchTransactions(params) {
  return getJson('/api/transactions', params);
}

export function getTransaction(key) {
  return getJson('/api/transactions/' + encodeURIComponent(key));
}

// The detail with only `limit` of its own events from index `from`, beside "events_from" and
// "events_total"; calls, links and notes are the whole transaction's.
export function getTransactionPage(key, from, limit) {
  return getJson('/api/transactions/' + encodeURIComponent(key),
                 new URLSearchParams({events_from: from, events_limit: limit}));
}

// {"key", "events_from", "events_total", "events"}: a later page of a transaction's events.
export function getTransactionEvents(key, from, limit) {
  return getJson(`/api/transactions/${encodeURIComponent(key)}/events`,
                 new URLSearchParams({from, limit}));
}

export function listClients() {
  return getJson('/api/clients');
}
