#!/bin/sh
# A notify command for korvan-host (--notify-cmd or a system's "notify_cmd"):
# writes one line to syslog and, when KORVAN_MAIL_TO is set and `mail` exists,
# mails the event. The event comes in KORVAN_* variables; the JSON line on
# standard input is not needed here and is left unread.
#
#   korvan-host run --config site.json --notify-cmd /usr/local/bin/korvan-notify.sh

# A loss of communication comes as its alarm and as its own event: tell it once.
case "${KORVAN_EVENT:-}:${KORVAN_ID:-}" in
  alarm_raised:communication_lost | alarm_cleared:communication_lost) exit 0 ;;
esac

summary="${KORVAN_SYSTEM:-?}: ${KORVAN_EVENT:-event} ${KORVAN_ID:-} ${KORVAN_CODE:-} ${KORVAN_NAME:-}${KORVAN_GLOSS:+ (${KORVAN_GLOSS})}: ${KORVAN_TEXT:-} (level ${KORVAN_LEVEL:-?}, data id ${KORVAN_DEVICE:-?}) at ${KORVAN_TIME:-?}"

# A failure here ends the script with a non-zero code, which korvan-host reports.
logger -t korvan -- "$summary" || exit 1

if [ -n "${KORVAN_MAIL_TO:-}" ] && command -v mail >/dev/null 2>&1; then
  printf '%s\n' "$summary" |
    mail -s "korvan: ${KORVAN_SYSTEM:-?} ${KORVAN_EVENT:-event} ${KORVAN_ID:-}" "$KORVAN_MAIL_TO" ||
    exit 2
fi
exit 0
