// Builds page elements. Data from events reaches the DOM only through here, as text or as
// attribute values: never as markup.

// el('a', {href: '/x', class: 'k', text: 'label'}, child, ...): props are attributes, except
// "class", "text" (textContent), "dataset" and "on<event>" (listeners).
export function el(tag, props = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(props)) {
    if (value === undefined || value === null || value === false) continue;
    if (name === 'class') node.className = value;
    else if (name === 'text') node.textContent = String(value);
    else if (name === 'dataset') setData(node, value);
    else if (name.startsWith('on')) node.addEventListener(name.slice(2), value);
    else node.setAttribute(name, value === true ? '' : String(value));
  }
  append(node, children);
  return node;
}

function setData(node, values) {
  for (const [key, value] of Object.entries(values)) {
    if (value !== null && value !== undefined) node.dataset[key] = String(value);
  }
}

// Appends nodes and strings (as text nodes); skips null and false so callers can write
// `flag && el(...)`.
export function append(parent, children) {
  for (const child of children.flat(Infinity)) {
    if (child === null || child === undefined || child === false) continue;
    parent.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return parent;
}

export function clear(node) {
  node.replaceChildren();
  return node;
}

// The link to a transaction's page. Keys are URL-safe already; encoding keeps a hostile one a
// path segment all the same.
export function transactionHref(key) {
  return '/t/' + encodeURIComponent(String(key));
}

export function errorBox(message) {
  return el('p', {class: 'error', role: 'alert', text: message});
}
