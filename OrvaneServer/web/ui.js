// Small DOM helpers shared by the page's parts; nothing here knows the protocol.

export const $ = (id) => document.getElementById(id);

export function showScreen(name) {
  document.body.dataset.screen = name;
}

export function setText(id, text) {
  $(id).textContent = text;
}

// A list of buttons, one per item; `describe(item)` gives {title, detail}.
export function renderList(list, items, describe, onPick) {
  list.replaceChildren(...items.map((item) => {
    const { title, detail } = describe(item);
    const li = document.createElement('li');
    const button = document.createElement('button');
    button.type = 'button';
    const name = document.createElement('span');
    name.className = 'title';
    name.textContent = title;
    button.append(name);
    if (detail) {
      const more = document.createElement('span');
      more.className = 'detail';
      more.textContent = detail;
      button.append(more);
    }
    button.addEventListener('click', () => onPick(item));
    li.append(button);
    return li;
  }));
}

// "just now", "5 min ago", ...
export function ago(unixSeconds, nowMs = Date.now()) {
  const s = Math.max(0, Math.round(nowMs / 1000 - unixSeconds));
  if (s < 60) return 'just now';
  if (s < 3600) return `${Math.floor(s / 60)} min ago`;
  if (s < 86400) return `${Math.floor(s / 3600)} h ago`;
  return `${Math.floor(s / 86400)} d ago`;
}

// A short message over the picture that goes away by itself.
export class Toast {
  constructor(element) {
    this.element = element;
  }

  show(text, ms = 2500) {
    clearTimeout(this.timer);
    this.element.textContent = text;
    this.element.hidden = false;
    this.timer = setTimeout(() => { this.element.hidden = true; }, ms);
  }
}
