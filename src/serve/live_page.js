// The live review page: each action is one POST to the page's own server; the server's answer
// to /changes brings the parts of the page that changed, which replace their elements.
'use strict';
(() => {
  let generation = Number(document.body.dataset.generation);
  // The cookie carries the token from here on; the address bar need not show it.
  if (location.search) {
    history.replaceState(null, '', '/');
  }

  const pause = (ms) => new Promise((done) => setTimeout(done, ms));

  function refused(row, status) {
    row.querySelectorAll('button[data-cue]').forEach((button) => { button.disabled = false; });
    const cell = row.querySelector('td.actions');
    const line = document.createElement('span');
    line.className = 'failure';
    line.textContent = status === 409 ? 'Another action on this cue is under way'
                                      : 'The server refused the action (' + status + ')';
    cell.append(document.createElement('br'), line);
  }

  function playFrom(seconds) {
    const narration = document.getElementById('narration');
    if (!narration) {
      return;
    }
    narration.currentTime = seconds;
    narration.play().catch(() => {});
  }

  document.addEventListener('click', (event) => {
    const button = event.target.closest('button[data-action]');
    if (!button || button.disabled) {
      return;
    }
    if (button.dataset.action === 'play-from') {
      playFrom(Number(button.dataset.at));
      return;
    }
    const cue = button.dataset.cue;
    const path = button.dataset.action === 'retake' ? '/cues/' + cue + '/retake'
                                                      : '/cues/' + cue + '/take/' + button.dataset.take;
    const row = document.getElementById('cue-' + cue);
    row.querySelectorAll('button[data-cue]').forEach((other) => { other.disabled = true; });
    fetch(path, {method: 'POST'})
      .then((answer) => { if (!answer.ok) refused(row, answer.status); })
      .catch(() => refused(row, 0));
  });

  function replace(id, html) {
    const element = document.getElementById(id);
    if (element && html !== undefined) {
      element.outerHTML = html;
    }
  }

  function apply(changes) {
    if (changes.generation <= generation) {
      return;
    }
    generation = changes.generation;
    for (const row of changes.rows) {
      replace('cue-' + row.cue, row.html);
    }
    replace('settings', changes.summary);
    replace('timeline', changes.timeline);
    const narration = document.getElementById('narration');
    if (narration && changes.narration !== undefined) {
      // The output was written again: the player reloads it where it was.
      const at = narration.currentTime;
      const playing = !narration.paused;
      narration.src = changes.narration;
      narration.currentTime = at;
      if (playing) {
        narration.play().catch(() => {});
      }
    }
    document.body.dataset.generation = String(generation);
  }

  async function follow() {
    for (;;) {
      try {
        const answer = await fetch('/changes?after=' + generation);
        if (answer.ok) {
          apply(await answer.json());
          continue;
        }
      } catch (error) {
        // The server is gone or restarting: ask again a little later.
      }
      await pause(2000);
    }
  }
  follow();
})();
