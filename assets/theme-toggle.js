// The "Theme" button, bound after the page's own script so that this handler,
// which knows the bridge is present, is the one that stays.
(function () {
  var button = document.getElementById('themeToggle');
  if (!button) return;
  button.onclick = function () {
    window.krApplyTheme(window.krTheme() === 'dark' ? 'light' : 'dark');
  };
})();
