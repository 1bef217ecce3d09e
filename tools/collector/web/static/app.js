// Picks the view from the address: "/" searches, "/t/KEY" shows one transaction, "/clients"
// lists the clients. Every view is a deep link that survives a reload.
import {showClients} from './clients.js';
import {showSearch} from './search.js';
import {showTransaction} from './transaction.js';
import {errorBox} from './dom.js';

function markCurrentView(name) {
  for (const link of document.querySelectorAll('nav a[data-view]')) {
    if (link.dataset.view === name) link.setAttribute('aria-current', 'page');
    else link.removeAttribute('aria-current');
  }
}

function route() {
  const main = document.getElementById('main');
  const path = location.pathname;
  if (path === '/') {
    markCurrentView('search');
    showSearch(main);
  } else if (path === '/clients') {
    markCurrentView('clients');
    showClients(main);
  } else if (path.startsWith('/t/') && path.length > 3) {
    markCurrentView('');
    let key;
    try {
      key = decodeURIComponent(path.slice(3));
    } catch (error) {
      main.replaceChildren(errorBox('This transaction link is malformed.'));
      return;
    }
    showTransaction(main, key);
  } else {
    main.replaceChildren(errorBox('There is no page at this address.'));
  }
}

route();
