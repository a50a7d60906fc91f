// Loaded by the test sessions on GNOME Shell 45 and later, whose extensions are modules (../gnome-extension
// holds the same for GNOME Shell 43). GNOME Shell answers its own Eval and
// Screenshot D-Bus methods only in "unsafe mode", which shows a notification and a top-bar icon; this
// extension offers the two on the shell's connection instead (org.gnome.Shell, object
// /invalid/nubrio/DesktopSession), so the session looks as GNOME ships it. A person's session starts in
// the overview; it is hidden here so that tests see the desktop. Ready() turns true once the shell has
// started and the overview is gone: desktop-session waits for it before it runs the command. A person's
// session does not run as root, as these do: the shell's own notifications until then ("Logged in as a
// privileged user") are dropped.
import Gio from 'gi://Gio';
import GLib from 'gi://GLib';
import Shell from 'gi://Shell';
import * as Main from 'resource:///org/gnome/shell/ui/main.js';
import * as MessageTray from 'resource:///org/gnome/shell/ui/messageTray.js';
import {Extension} from 'resource:///org/gnome/shell/extensions/extension.js';

// The tests' Eval code names the shell's modules as GNOME Shell 43 did (imports.ui.main).
const imports = {gi: globalThis.imports.gi, ui: {main: Main, messageTray: MessageTray}};

const IFACE = `<node><interface name="invalid.nubrio.DesktopSession">
  <method name="Ready"><arg type="b" direction="out"/></method>
  <method name="Eval"><arg type="s" direction="in"/><arg type="b" direction="out"/><arg type="s" direction="out"/></method>
  <method name="Screenshot"><arg type="s" direction="in"/><arg type="b" direction="out"/></method>
</interface></node>`;

let service = null;
let ready = false;
let trayId = 0;

const helper = {
    Ready() {
        return ready;
    },
    Eval(code) {  // as org.gnome.Shell.Eval: the value as JSON, or the exception's text
        try {
            const value = JSON.stringify(eval(code));  // eslint-disable-line no-eval
            return [true, value === undefined ? '' : value];
        } catch (e) {
            return [false, `${e}`];
        }
    },
    ScreenshotAsync([path], invocation) {  // the whole screen as PNG, as org.gnome.Shell.Screenshot
        let stream;
        try {
            stream = Gio.File.new_for_path(path).replace(null, false, Gio.FileCreateFlags.NONE, null);
        } catch (e) {
            invocation.return_gerror(e);
            return;
        }
        const shooter = new Shell.Screenshot();
        shooter.screenshot(false, stream, (o, result) => {
            try {
                shooter.screenshot_finish(result);
                stream.close(null);
                invocation.return_value(new GLib.Variant('(b)', [true]));
            } catch (e) {
                invocation.return_gerror(e);
            }
        });
    },
};

export default class DesktopSessionHelper extends Extension {
    enable() {
        service = Gio.DBusExportedObject.wrapJSObject(IFACE, helper);
        service.export(Gio.DBus.session, '/invalid/nubrio/DesktopSession');
        trayId = Main.messageTray.connect('source-added', (tray, source) => {
            if (!ready && source === MessageTray.getSystemSource()) {
                source.connect('notification-added', (s, notification) => {
                    if (!ready)
                        notification.destroy();
                });
            }
        });
        const hide = () => {
            if (!Main.overview.visible) {
                ready = true;
                return;
            }
            const id = Main.overview.connect('hidden', () => {
                Main.overview.disconnect(id);
                ready = true;
            });
            Main.overview.hide();
        };
        if (Main.layoutManager._startingUp)
            Main.layoutManager.connect('startup-complete', hide);
        else
            hide();
    }

    disable() {
        service?.unexport();
        service = null;
        if (trayId)
            Main.messageTray.disconnect(trayId);
        trayId = 0;
    }
}
