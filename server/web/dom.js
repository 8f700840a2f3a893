// Small helpers every part of the page uses to build and speak through its elements.

export const $ = (id) => document.getElementById(id);

export function el(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text != null) e.textContent = text;
  return e;
}

let made = 0;
const idOf = (e) => e.id || (e.id = 'made-' + ++made);

// Named by its own words, then the item it acts on (`what`): voice control
// finds it by what it shows, a screen reader tells one item's from another's.
export function button(text, what, click) {
  const b = el('button', 'button quiet small-button', text);
  b.type = 'button';
  b.setAttribute('aria-labelledby', idOf(b) + ' ' + idOf(what));
  b.addEventListener('click', click);
  return b;
}

// Errors interrupt a screen reader; everything else waits its turn.
export function say(where, text, kind) {
  where.setAttribute('role', kind === 'error' ? 'alert' : 'status');
  where.textContent = text || '';
  for (const k of ['error', 'done', 'warn']) where.classList.toggle(k, kind === k);
}

export function invalid(field, bad) {
  if (bad) field.setAttribute('aria-invalid', 'true');
  else field.removeAttribute('aria-invalid');
}

// Where focus goes when the control that had it disappears.
export function focusOn(heading) {
  heading.tabIndex = -1;
  heading.focus();
}
