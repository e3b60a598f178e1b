// Draws the page's menu from the arrays that the server writes into the page: HM_Array1 for
// the top level (its first element holds layout settings and is skipped), HM_Array1_k for
// the items below the k-th item, and so on. Each item is [caption, URL, 1, 0, has-children].
function DrawMenu(id) {
  var place = document.getElementById(id);
  if (!place || typeof HM_Array1 === "undefined") return;
  place.appendChild(MenuList("HM_Array1"));
}

function MenuList(name) {
  var items = window[name];
  var list = document.createElement("ul");
  for (var i = 1; i < items.length; i++) {
    var item = items[i];
    if (!item || item.length < 2) continue;
    var entry = document.createElement("li");
    var link = document.createElement("a");
    link.textContent = item[0];
    link.href = MenuTarget(item[1]);
    entry.appendChild(link);
    var below = name + "_" + i;
    if (item[4] === 1 && typeof window[below] !== "undefined") {
      entry.className = "MenuParent";
      entry.appendChild(MenuList(below));
    }
    list.appendChild(entry);
  }
  return list;
}

// The server names itself in its links; a browser that reached it under another name or port
// stays where it is and keeps only the path and query.
function MenuTarget(url) {
  var match = /^https?:\/\/[^\/]*(\/.*)?$/.exec(url);
  if (!match) return url;
  return match[1] || "/";
}
