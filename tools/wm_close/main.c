/* Asks a window to close the way a window manager does (WM_DELETE_WINDOW), for tests that run
 * without one:  wm_close WINDOW_ID */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <xcb/xcb.h>

static xcb_atom_t Atom(xcb_connection_t* c, const char* name) {
  xcb_intern_atom_reply_t* r =
      xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, (uint16_t)strlen(name), name), NULL);
  xcb_atom_t atom = r ? r->atom : XCB_ATOM_NONE;
  free(r);
  return atom;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: wm_close WINDOW_ID\n");
    return 2;
  }
  xcb_connection_t* c = xcb_connect(NULL, NULL);
  if (xcb_connection_has_error(c)) {
    fprintf(stderr, "wm_close: cannot open the display\n");
    return 1;
  }
  xcb_client_message_event_t event;
  memset(&event, 0, sizeof event);
  event.response_type = XCB_CLIENT_MESSAGE;
  event.format = 32;
  event.window = (xcb_window_t)strtoul(argv[1], NULL, 0);
  event.type = Atom(c, "WM_PROTOCOLS");
  event.data.data32[0] = Atom(c, "WM_DELETE_WINDOW");
  event.data.data32[1] = XCB_CURRENT_TIME;
  /* Wait for the server's answer: a request sent just before the connection closes can be
   * dropped by a busy server that sees the close first. */
  xcb_generic_error_t* error = xcb_request_check(
      c, xcb_send_event_checked(c, 0, event.window, XCB_EVENT_MASK_NO_EVENT, (const char*)&event));
  const int failed = error != NULL || event.type == XCB_ATOM_NONE;
  if (failed) fprintf(stderr, "wm_close: could not send the close request\n");
  free(error);
  xcb_disconnect(c);
  return failed ? 1 : 0;
}
