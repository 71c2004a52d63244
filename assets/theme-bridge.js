// The page's side of the host's theme protocol: krApplyTheme/krTheme for
// scripts, "kr-theme" messages from a parent frame, a "kr-theme-request" to
// that parent at start, and a "bot-theme" event on every real change.
(function () {
  var root = document.documentElement;

  window.krTheme = function () {
    var t = root.getAttribute('data-theme');
    return t === 'light' || t === 'dark' ? t : 'dark';
  };

  window.krApplyTheme = function (t) {
    if (t !== 'light' && t !== 'dark') return;
    if (root.getAttribute('data-theme') === t) return;
    root.setAttribute('data-theme', t);
    try {
      window.localStorage.setItem('bot_theme', t);
    } catch (e) {}
    try {
      window.dispatchEvent(new CustomEvent('bot-theme', { detail: t }));
    } catch (e) {}
  };

  // Any origin may set the theme: the worst a stranger can do is recolour it.
  window.addEventListener('message', function (ev) {
    var msg = ev.data;
    if (msg && typeof msg === 'object' && msg.type === 'kr-theme') window.krApplyTheme(msg.theme);
  });

  try {
    if (window.parent && window.parent !== window) {
      window.parent.postMessage({ type: 'kr-theme-request' }, '*');
    }
  } catch (e) {}
})();
