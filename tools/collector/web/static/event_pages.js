// The events of a large transaction, held a page at a time: the pages around what is in view
// are fetched (the one in view first, then its neighbours in the background), and beyond
// MAX_PAGES the pages farthest from the view are let go, to be fetched again if they return.

export const PAGE_EVENTS = 250;
export const MAX_PAGES = 32;
// One fetch at a time, always of the page nearest the view when the last one ends: a fast drag
// then leaves at most one page behind it, never a queue of pages the view has left.
const IN_FLIGHT = 1;
const AHEAD = 1;  // neighbouring pages fetched on each side of the view
const RETRY_MS = 2000;
// A view that moves is followed once it has rested this long: dragging the scroll bar across
// fifty thousand events fetches the page where it stops, not every page it passes.
const SETTLE_MS = 80;

export class EventPages {
  // first: the detail's own events (from index 0); fetchPage(from, limit) resolves to
  // {events_from, events}; onLoaded() is called after each page arrives.
  constructor(total, first, fetchPage, onLoaded = () => {}) {
    this.total = total;
    this.fetchPage = fetchPage;
    this.onLoaded = onLoaded;
    this.pages = new Map();     // page number -> events
    this.inFlight = new Set();  // page numbers
    this.failed = new Map();    // page number -> {at, message}
    this.view = [0, 0];         // the page numbers in view
    this.settling = null;       // the timer that follows a moving view
    this.pageCount = Math.ceil(total / PAGE_EVENTS);
    if (Array.isArray(first)) {
      for (let page = 0; page * PAGE_EVENTS < first.length; ++page) {
        this.pages.set(page, first.slice(page * PAGE_EVENTS, (page + 1) * PAGE_EVENTS));
      }
    }
  }

  // The event at `index`, or null while its page is not held.
  get(index) {
    const events = this.pages.get(Math.floor(index / PAGE_EVENTS));
    return events?.[index % PAGE_EVENTS] ?? null;
  }

  // Why the event at `index` is not shown yet: a fetch failure's message, or null (loading).
  failure(index) {
    return this.failed.get(Math.floor(index / PAGE_EVENTS))?.message ?? null;
  }

  held() {
    let events = 0;
    for (const page of this.pages.values()) events += page.length;
    return events;
  }

  // The events from `first` to `last` are in view: fetch what they need, then what is near.
  want(first, last) {
    if (this.pageCount === 0) return;
    const clamp = (page) => Math.min(Math.max(page, 0), this.pageCount - 1);
    const view = [clamp(Math.floor(first / PAGE_EVENTS)), clamp(Math.floor(last / PAGE_EVENTS))];
    if (view[0] === this.view[0] && view[1] === this.view[1]) return;
    this.view = view;
    clearTimeout(this.settling);
    this.settling = setTimeout(() => this.pump(), SETTLE_MS);
  }

  distance(page) {
    const [low, high] = this.view;
    return page < low ? low - page : page > high ? page - high : 0;
  }

  // Starts fetches, nearest page first.
  pump() {
    const [low, high] = this.view;
    const wanted = [];
    for (let page = Math.max(0, low - AHEAD); page <= Math.min(this.pageCount - 1, high + AHEAD);
         ++page) {
      const failure = this.failed.get(page);
      if (this.pages.has(page) || this.inFlight.has(page)) continue;
      if (failure && Date.now() - failure.at < RETRY_MS) continue;
      wanted.push(page);
    }
    wanted.sort((a, b) => this.distance(a) - this.distance(b));
    for (const page of wanted) {
      if (this.inFlight.size >= IN_FLIGHT) break;
      this.fetch(page);
    }
  }

  async fetch(page) {
    this.inFlight.add(page);
    const from = page * PAGE_EVENTS;
    try {
      const answer = await this.fetchPage(from, PAGE_EVENTS);
      if (!Array.isArray(answer.events) || Number(answer.events_from) !== from) {
        throw new Error('The collector answered another page than the one asked for.');
      }
      this.failed.delete(page);
      // Only what is near the view is kept: a page the view has left while it travelled is
      // dropped rather than held.
      if (this.distance(page) <= AHEAD) this.pages.set(page, answer.events.slice(0, PAGE_EVENTS));
      this.evict();
    } catch (error) {
      this.failed.set(page, {at: Date.now(), message: error.message});
      setTimeout(() => this.pump(), RETRY_MS + 50);
    } finally {
      this.inFlight.delete(page);
    }
    this.onLoaded();
    this.pump();
  }

  evict() {
    if (this.pages.size <= MAX_PAGES) return;
    const farthest = [...this.pages.keys()].sort((a, b) => this.distance(b) - this.distance(a));
    for (const page of farthest) {
      if (this.pages.size <= MAX_PAGES || this.distance(page) === 0) break;
      this.pages.delete(page);
    }
  }
}
