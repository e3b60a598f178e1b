#!/usr/bin/env bash
# Installs with apt-get whatever the machine lacks: with "run", only what building and running
# the server needs, touching no service of the machine; otherwise also what the tests need.
set -euo pipefail

packages=(cmake ninja-build g++)
if [ "${1:-}" != run ]; then
  packages+=(
    clang libclang-rt-14-dev
    libgtest-dev libgmock-dev libbenchmark-dev libsqlite3-dev sqlite3
    python3 curl swaks tmux procps nodejs strace
    # Python's own MIME test messages: a corpus for the archive's text and for mail round trips.
    libpython3.11-testsuite
    # End-to-end peers: Postfix's smtp-sink and smtp-source, a private Dovecot POP3 instance.
    postfix dovecot-core dovecot-pop3d
    # The web pages in a real browser, and clients in a network namespace of their own.
    chromium chromium-driver python3-selenium iproute2
  )
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # Postfix is wanted only for its test tools: no system mail configuration.
  echo "postfix postfix/main_mailer_type select No configuration" | debconf-set-selections
  echo "postfix postfix/mailname string localhost" | debconf-set-selections
  # Keep the packages' own daemons from starting: the tests run private instances on loopback
  # and need ports 25 and 110 free. Only a policy we put in place ourselves is removed again.
  policy=/usr/sbin/policy-rc.d
  own_policy=no
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' >"$policy"
    chmod 755 "$policy"
    own_policy=yes
  fi
  trap 'if [ "$own_policy" = yes ]; then rm -f "$policy"; fi' EXIT
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The tests' relay sink listens on 127.0.0.2:25, so the test set-up (never the run command)
# stops a system Postfix or Dovecot that holds the mail ports.
[ "${1:-}" = run ] && exit 0
# Make sure no system Postfix or Dovecot stays enabled or running (a machine whose init ignored
# the policy above, or an earlier install). Their test tools and private instances need none.
for service in postfix dovecot; do
  if command -v systemctl >/dev/null 2>&1 && [ -d /run/systemd/system ]; then
    systemctl disable --now "$service" >/dev/null 2>&1 || true
  elif [ -x "/etc/init.d/$service" ]; then
    "/etc/init.d/$service" stop >/dev/null 2>&1 || true
  fi
done
