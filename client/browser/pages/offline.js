// The built-in error page: the URL fragment "#error=KIND&code=N" picks the
// section and gives the code, shown as the tooltip of every heading. What
// comes from the fragment is only ever set as text, never as markup.
(function () {
  'use strict';

  function decode(text) {
    try {
      return decodeURIComponent(text);
    } catch (e) {
      return text;
    }
  }

  // Only a fragment longer than six characters ("#error" alone is not one)
  // is read; items are KEY=VALUE with exactly one "=", keys in any case.
  function readFragment(hash) {
    var found = { kind: 'offline', code: null };
    if (typeof hash !== 'string' || hash.length <= 6 || hash.length > 2048) return found;
    var items = hash.substring(1).split('&');
    for (var i = 0; i < items.length && i < 32; i++) {
      var parts = items[i].split('=');
      if (parts.length !== 2) continue;
      var key = parts[0].toLowerCase();
      if (key === 'error') found.kind = decode(parts[1]).toLowerCase();
      else if (key === 'code') found.code = decode(parts[1]);
    }
    return found;
  }

  function callExternal(member) {
    try {
      if (window.external && typeof window.external[member] === 'function') window.external[member]();
    } catch (e) {
      // The page stays as it is when the client does not answer.
    }
  }

  function show() {
    var found = readFragment(window.location.hash);
    var sections = document.querySelectorAll('.section');
    var chosen = null;
    for (var i = 0; i < sections.length; i++) {
      if (sections[i].id === 'err_' + found.kind) chosen = sections[i];
    }
    if (chosen === null) chosen = document.getElementById('err_other');
    for (var j = 0; j < sections.length; j++) {
      sections[j].className = sections[j] === chosen ? 'section shown' : 'section';
    }
    if (found.code !== null) {
      var headings = document.querySelectorAll('h1');
      for (var k = 0; k < headings.length; k++) headings[k].setAttribute('title', found.code);
    }
  }

  function start() {
    var buttons = document.querySelectorAll('button');
    for (var b = 0; b < buttons.length; b++) {
      var member = buttons[b].id === 'upgradeButton' ? 'UpgradeNow' : 'OpenHomePage';
      buttons[b].addEventListener('click', callExternal.bind(null, member));
    }
    show();
  }

  // The client may show the page again with another fragment while it is
  // up (offline, then connect): that changes only the fragment.
  window.addEventListener('hashchange', show);
  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start);
  else start();
})();
