'use strict';
// The texts of the JavaScript wrapper; the add-on's own are in
// src/qel/messages.h.
module.exports = {
  MSG_LOADED_TWICE: 'QEL Driver -- The driver is already loaded in this process; load it once and share its exports',
};
