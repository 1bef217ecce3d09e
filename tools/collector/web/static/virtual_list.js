// Draws only the rows of a long list that are in view (plus a margin), so a transaction of
// tens of thousands of events keeps a DOM of a few dozen rows however far it is scrolled.

const OVERSCAN = 12;

export class VirtualList {
  // viewport: the scrolling element; header: an element at the top of the viewport that stays
  // in place (position: sticky) and hides rows under it; content: where rows are placed, below
  // the header. renderRow(row, index) returns a fresh element for one row; onDraw(first, last),
  // when given, hears which rows are drawn after each drawing.
  constructor(viewport, header, content, rowHeight, renderRow, onDraw = null) {
    this.viewport = viewport;
    this.header = header;
    this.content = content;
    this.rowHeight = rowHeight;
    this.renderRow = renderRow;
    this.onDraw = onDraw;
    this.rows = [];
    this.drawn = new Map();  // row index -> element
    this.pending = false;
    viewport.addEventListener('scroll', () => this.schedule(), {passive: true});
    window.addEventListener('resize', () => this.schedule());
  }

  setRows(rows) {
    this.rows = rows;
    this.content.style.height = `${rows.length * this.rowHeight}px`;
    this.redraw();
  }

  // Drops every drawn row (their contents changed) and draws the visible ones again at once.
  redraw() {
    this.drawn.clear();
    this.content.replaceChildren();
    this.draw();
  }

  schedule() {
    if (this.pending) return;
    this.pending = true;
    requestAnimationFrame(() => {
      this.pending = false;
      this.draw();
    });
  }

  visibleRange() {
    const top = Math.max(0, this.viewport.scrollTop - this.header.offsetHeight);
    const height = Math.max(this.viewport.clientHeight, this.rowHeight);
    const first = Math.max(0, Math.floor(top / this.rowHeight) - OVERSCAN);
    const last = Math.min(this.rows.length - 1, Math.ceil((top + height) / this.rowHeight) + OVERSCAN);
    return [first, last];
  }

  draw() {
    const [first, last] = this.visibleRange();
    for (const [index, element] of this.drawn) {
      if (index < first || index > last) {
        element.remove();
        this.drawn.delete(index);
      }
    }
    for (let index = first; index <= last; ++index) {
      if (this.drawn.has(index)) continue;
      const element = this.renderRow(this.rows[index], index);
      element.style.transform = `translateY(${index * this.rowHeight}px)`;
      this.content.append(element);
      this.drawn.set(index, element);
    }
    if (this.onDraw && last >= first) this.onDraw(first, last);
  }

  // Scrolls just enough to show row `index` whole below the header.
  scrollToIndex(index) {
    const headerHeight = this.header.offsetHeight;
    const rowTop = headerHeight + index * this.rowHeight;
    const viewTop = this.viewport.scrollTop + headerHeight;
    const viewBottom = this.viewport.scrollTop + this.viewport.clientHeight;
    if (rowTop < viewTop) this.viewport.scrollTop = rowTop - headerHeight;
    else if (rowTop + this.rowHeight > viewBottom) {
      this.viewport.scrollTop = rowTop + this.rowHeight - this.viewport.clientHeight;
    }
    this.draw();
  }

  rowsPerPage() {
    return Math.max(1, Math.floor((this.viewport.clientHeight - this.header.offsetHeight) /
                                  this.rowHeight) - 1);
  }
}
