// Picks the theme before the body is drawn, so the page never flashes the
// wrong palette: the address first, then the last stored choice, then the
// browser's preference. Every browser facility may be unavailable (storage
// switched off, sandboxed frame); each failure is skipped.
(function () {
  var root = document.documentElement;
  var query = '';
  try {
    query = String(window.location.search || '');
  } catch (e) {}

  var theme = null;
  var m = /[?&]theme=(light|dark)/.exec(query);
  if (m) theme = m[1];
  if (!theme) {
    try {
      var stored = window.localStorage.getItem('bot_theme');
      if (stored === 'light' || stored === 'dark') theme = stored;
    } catch (e) {}
  }
  if (!theme) {
    theme = 'dark';
    try {
      if (window.matchMedia('(prefers-color-scheme: light)').matches) theme = 'light';
    } catch (e) {}
  }

  root.setAttribute('data-theme', theme);
  if (/[?&]embed=(1|true)(&|$)/.test(query)) root.classList.add('embedded');
  try {
    window.localStorage.setItem('bot_theme', theme);
  } catch (e) {}
})();
