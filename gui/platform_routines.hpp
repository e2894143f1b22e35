// The routines behind system/view/platform (the GUI engine's only way into
// the back-end), the back-end's start-up routine, the three routines of
// TUI-helpers, and the face-flag reader. Each is registered under the name
// the library's `make-routine` gives it:
//
//   make-null-handle fetch-all-screens get-screen-size size-text
//   on-change-facet update-text update-font update-para destroy-view
//   detach-image update-view refresh-window redraw show-window make-view
//   draw-image draw-face do-event-loop exit-event-loop request-font
//   request-file request-dir text-box-metrics update-scroller set-dark-mode
//   support-dark-mode? toggle-GPU
//   gui-init get-flags focused? widget-data set-face-ui
//
// Arguments are read by position, in the order of each routine's spec.
#pragma once
