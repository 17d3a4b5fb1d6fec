#include "host/web_server.h"

namespace qb {

const char* LivePageScript() {
  return R"JS(// Keeps an open device list or device page current without reloading it: every second it asks
// /api/page-values what the pages show now and writes what changed into the cells the page
// already has. Texts are written as text, never as markup. Without scripts the pages stay as
// served, and their "Refresh" link reloads them.
(function () {
  'use strict';
  var PERIOD_MS = 1000;
  var RETRY_MS = 5000;

  function setText(cell, text) {
    if (cell && typeof text === 'string' && cell.textContent !== text) cell.textContent = text;
  }

  function keyOfLink(link) {
    var href = link ? link.getAttribute('href') || '' : '';
    var at = href.indexOf('ROMID=');
    return at < 0 ? '' : href.slice(at + 6).split('&')[0];
  }

  // The device list's rows: value, device link, type, last change, control.
  function updateList(values) {
    var rows = document.querySelectorAll('tr');
    for (var i = 0; i < rows.length; i++) {
      var cells = rows[i].cells;
      if (cells.length !== 5) continue;
      var shown = values[keyOfLink(cells[1].querySelector('a[href*="ROMID="]'))];
      if (!shown) continue;
      if (cells[0].className !== shown.list_class) cells[0].className = shown.list_class;
      setText(cells[0], shown.list_text);
      setText(cells[3], shown.changed);
    }
  }

  // The key a device page shows: the value of the first pair of its address, as the page reads it.
  function pageKey() {
    var query = location.search.replace(/^\?/, '');
    if (!query || /(^|&)page=/i.test(query) || query.indexOf('ROMID=') < 0) return '';
    var first = query.split('&')[0];
    var eq = first.indexOf('=');
    try {
      return eq < 0 ? '' : decodeURIComponent(first.slice(eq + 1).replace(/\+/g, ' '));
    } catch (e) {
      return '';
    }
  }

  // A channel table's row label and the key of the channel it shows.
  function channelKey(romId, label) {
    var m;
    if ((m = /^Switch (\d+)$/.exec(label))) return romId + 'S' + m[1];
    if ((m = /^Switch ([A-D])$/.exec(label))) return romId + 'S' + (m[1].charCodeAt(0) - 65);
    if ((m = /^PIO (\d+)$/.exec(label))) return romId + 'P' + m[1];
    if ((m = /^Counter (\d+)$/.exec(label))) return romId + 'K' + m[1];
    if ((m = /^A\/D ([0-3])$/.exec(label))) return romId + String.fromCharCode(71 + Number(m[1]));
    return '';
  }

  function updateDevicePage(values, key) {
    var romId = key.slice(0, 16);
    var labels = document.querySelectorAll('td.tablecellwav');
    for (var i = 0; i < labels.length; i++) {
      var label = labels[i].textContent;
      var shown = values[key];
      if (!shown) break;
      if (label.indexOf('Current ') === 0) setText(labels[i].nextElementSibling, shown.reading);
      else if (label === 'Wiper Position') setText(labels[i].nextElementSibling, shown.value);
    }
    var rows = document.querySelectorAll('table[border="1"] tr');
    for (var j = 0; j < rows.length; j++) {
      var cells = rows[j].cells;
      if (cells.length !== 3 || cells[2].textContent === 'No Device Created') continue;
      var channel = values[channelKey(romId, cells[1].textContent.trim())];
      if (channel) setText(cells[2], channel.value);
    }
  }

  function apply(list) {
    var values = Object.create(null);
    for (var i = 0; i < list.length; i++) values[list[i].key] = list[i];
    updateList(values);
    var key = pageKey();
    if (key.length > 16) updateDevicePage(values, key);
  }

  var timer = null;
  function schedule(ms) {
    clearTimeout(timer);
    timer = setTimeout(poll, ms);
  }
  function poll() {
    // A page in a background tab waits until it is shown again.
    if (document.hidden) return;
    fetch('/api/page-values', {credentials: 'same-origin', cache: 'no-store'})
      .then(function (res) {
        if (!res.ok) throw new Error('status ' + res.status);
        return res.json();
      })
      .then(function (list) {
        if (Array.isArray(list)) apply(list);
        schedule(PERIOD_MS);
      })
      .catch(function () {
        schedule(RETRY_MS);
      });
  }

  function start() {
    var headers = document.querySelectorAll('td.tableheader');
    var isList = false;
    for (var i = 0; i < headers.length; i++) isList = isList || headers[i].textContent === '1-Wire Device List';
    if (!isList && pageKey().length <= 16) return;
    document.addEventListener('visibilitychange', function () {
      if (!document.hidden) schedule(0);
    });
    schedule(PERIOD_MS);
  }
  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start);
  else start();
})();
)JS";
}

}  // namespace qb
