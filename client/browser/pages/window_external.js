// window.external for the client's own pages. Injected at document start in
// the top frame of pages the URL policy accepts; the client fills in the
// per-page token, the limits and the first snapshot of its state.
//
// Calls post [token, member, arguments...] to the "quolExternal" handler.
// Any frame can post to that handler, so the client answers only calls that
// carry this page's token, which lives in this closure and nowhere else.
// Getters answer from the snapshot at once; setters change the snapshot at
// once too, so a page that sets a value reads it back before the client has
// refreshed the snapshot.
(function () {
  'use strict';
  if (window.top !== window) return;
  var handlers = window.webkit && window.webkit.messageHandlers;
  var handler = handlers && handlers.quolExternal;
  if (!handler || typeof handler.postMessage !== 'function') return;
  var post = handler.postMessage.bind(handler);
  var token = '@TOKEN@';
  var maxString = @MAX_STRING@;
  var maxCallsPerSecond = @MAX_CALLS@;
  var maxNameBytes = 255;  // what Settings.xml takes as an element name
  var state = null;
  var windowStart = 0;
  var callsInWindow = 0;

  function adopt(snapshot) {
    var settings = Object.create(null);
    var given = snapshot && snapshot.settings;
    if (given && typeof given === 'object') {
      Object.keys(given).forEach(function (name) {
        if (typeof given[name] === 'string') settings[name] = given[name];
      });
    }
    state = {
      settings: settings,
      version: snapshot && typeof snapshot.version === 'string' ? snapshot.version : '',
      hasCredentials: !!(snapshot && snapshot.hasCredentials),
      screensaverSetup: snapshot && typeof snapshot.screensaverSetup === 'number' ?
          snapshot.screensaverSetup : 0
    };
  }

  function text(value, what) {
    var result = value === undefined || value === null ? '' : String(value);
    if (result.length > maxString) throw new RangeError(what + ' is too long');
    return result;
  }

  // Setting names are element names of Settings.xml; the client refuses
  // any other, so the page's copy must not take them either.
  var nameStart = 'A-Z_a-z\u00C0-\u00D6\u00D8-\u00F6\u00F8-\u02FF\u0370-\u037D\u037F-\u1FFF' +
      '\u200C-\u200D\u2070-\u218F\u2C00-\u2FEF\u3001-\uD7FF\uF900-\uFDCF\uFDF0-\uFFFD' +
      '\u{10000}-\u{EFFFF}';
  var xmlName = new RegExp('^[' + nameStart + '][' + nameStart +
      '\\-.0-9\u00B7\u0300-\u036F\u203F-\u2040]*$', 'u');
  function settingName(value) {
    var name = text(value, 'setting');
    if (!xmlName.test(name) || new TextEncoder().encode(name).length > maxNameBytes) {
      throw new TypeError('not a setting name: ' + name.slice(0, 64));
    }
    return name;
  }

  // A page that calls in a loop must not flood the client: calls over the
  // budget of the current second are dropped here, before they are posted.
  function send(member, args) {
    var now = Date.now();
    if (now - windowStart >= 1000) {
      windowStart = now;
      callsInWindow = 0;
    }
    if (++callsInWindow > maxCallsPerSecond) return false;
    post([token, member].concat(args));
    return true;
  }

  function simple(member) {
    return function () { send(member, []); };
  }

  var external = {
    SetCredentials: function (userName, password) {
      var user = text(userName, 'userName');
      var secret = text(password, 'password');
      if (send('SetCredentials', [user, secret])) state.hasCredentials = user !== '' && secret !== '';
    },
    SetSetting: function (setting, value) {
      var name = settingName(setting);
      var content = text(value, 'value');
      if (!send('SetSetting', [name, content])) return;
      if (content === '') delete state.settings[name];
      else state.settings[name] = content;
    },
    GetSetting: function (setting) {
      var name = String(setting);
      return name in state.settings ? state.settings[name] : null;
    },
    ShowStatusMessage: function (message, url) {
      send('ShowStatusMessage', [text(message, 'message'), text(url, 'url')]);
    },
    ShowCollageSettingsDlg: simple('ShowCollageSettingsDlg'),
    StartCollage: simple('StartCollage'),
    ShowAboutDlg: simple('ShowAboutDlg'),
    CheckForUpdates: simple('CheckForUpdates'),
    UpgradeNow: simple('UpgradeNow'),
    Crash: function () {},
    GetVersion: function () { return state.version; },
    OpenHomePage: simple('OpenHomePage'),
    SetupScreensaver: function (setting) {
      send('SetupScreensaver', [String(Number(setting) | 0)]);
    }
  };
  Object.defineProperty(external, 'IsDebugMode', { get: function () { return false; } });
  Object.defineProperty(external, 'HasCredentials', { get: function () { return state.hasCredentials; } });
  Object.defineProperty(external, 'ScreensaverSetup', { get: function () { return state.screensaverSetup; } });
  // The client's refresh: takes a new snapshot only with this page's token.
  Object.defineProperty(external, '__quolRefresh', {
    value: function (givenToken, snapshot) {
      if (givenToken === token) adopt(snapshot);
    }
  });
  adopt(@STATE@);
  Object.freeze(external);
  Object.defineProperty(window, 'external', {
    value: external, writable: false, configurable: false, enumerable: false
  });
})();
