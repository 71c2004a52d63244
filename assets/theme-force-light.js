// Sent only when the request asked for the light theme in any letter case: it
// wins over a stored dark choice for this view without replacing that choice.
document.documentElement.setAttribute('data-theme', 'light');
