package org.vantrel.kit.sfx;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.FileInputStream;
import java.io.IOException;
import java.io.InputStream;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.Socket;
import java.nio.charset.Charset;

/**
 * What a program started by the installer launcher needs of it: the launcher's path, the close
 * signal of its splash window, and the entries that it left in the installer. One file, no
 * dependencies, Java 8 or later: copy it into your sources.
 *
 * <pre>
 * String launcher = SfxLauncher.launcherPath();
 * SfxLauncher.closeSplash();
 * if (!SfxLauncher.fetch(launcher, "plugins\\extra.zip", new File(work))) ...
 * </pre>
 */
public final class SfxLauncher {
    /** The system property that names the launcher, as "-DextractorLoc=PATH" sets it. */
    public static final String PROPERTY = "extractorLoc";
    /** The line that the launcher appends to the ini file beside the program that it starts. */
    public static final String INI_KEY = "-D" + PROPERTY + "=";
    /** The port whose first connection closes the splash window. */
    public static final int CLOSE_PORT = 12345;
    /** The ini files that the launcher writes in java mode, at the top of its extraction folder
     * (the working directory of the started program): for "java" and for "javax", by the names
     * of the Windows launcher and then of the Linux launcher. */
    private static final String[] JAVA_MODE_INI = {"jini", "jaini", "java.ini", "javax.ini"};

    private SfxLauncher() {}

    /**
     * The launcher's path: the system property extractorLoc, else the "-DextractorLoc=" line of
     * the ini file that the launcher wrote beside the program in java mode (jini or jaini in the
     * working directory; java.ini or javax.ini on Linux); null when neither names it.
     */
    public static String launcherPath() {
        String path = System.getProperty(PROPERTY);
        if (path != null && !path.isEmpty()) return path;
        File folder = new File(System.getProperty("user.dir"));
        for (String name : JAVA_MODE_INI) {
            path = launcherPathFromIni(new File(folder, name));
            if (path != null) return path;
        }
        return null;
    }

    /**
     * The value of the last line of an ini file that starts with "-DextractorLoc=" (the launcher
     * appends its line to what the file held), or null.
     */
    public static String launcherPathFromIni(File ini) {
        byte[] bytes;
        try {
            bytes = readAll(ini);
        } catch (IOException e) {
            return null;
        }
        String path = null;
        for (String line : new String(bytes, fileNameCharset()).split("\r?\n|\r")) {
            if (line.startsWith(INI_KEY)) path = line.substring(INI_KEY.length());
        }
        return path == null || path.isEmpty() ? null : path;
    }

    /**
     * Closes the splash window: one TCP connection to 127.0.0.1:12345, closed at once. True when
     * the launcher accepted it, false when nobody listens (no splash, or it is closed already).
     */
    public static boolean closeSplash() {
        Socket socket = new Socket();
        try {
            InetAddress local = InetAddress.getByAddress(new byte[] {127, 0, 0, 1});
            socket.connect(new InetSocketAddress(local, CLOSE_PORT), 10000);
            return true;
        } catch (IOException e) {
            return false;
        } finally {
            try {
                socket.close();
            } catch (IOException e) {
                // Closed or never opened: the signal is the connection, not its end.
            }
        }
    }

    /**
     * Runs the launcher in its extraction mode, "-extract=NAME@FOLDER", and waits for its end.
     * The launcher writes the first entry whose stored name ends with NAME below FOLDER (made
     * absolute), at the entry's full stored path. '/' in NAME is given as '\', the separator of
     * stored names; on Windows the switch is quoted whole when it holds a blank. Returns the
     * launcher's exit status (0: extracted, 1: not), or -1 when it could not be started or the
     * wait was interrupted (the thread's interrupt flag is then set again).
     */
    public static int runExtract(String launcher, String name, File folder) {
        if (launcher == null || name == null || folder == null) return -1;
        String argument =
                "-extract=" + name.replace('/', '\\') + "@" + folder.getAbsolutePath();
        // Windows programs get one command line: the launcher reads the switch from it, and an
        // argument already in quotes is passed on unchanged. Elsewhere the argument vector keeps
        // it whole.
        if (File.separatorChar == '\\' && argument.indexOf(' ') >= 0)
            argument = "\"" + argument + "\"";
        ProcessBuilder builder = new ProcessBuilder(launcher, argument);
        builder.redirectInput(ProcessBuilder.Redirect.INHERIT);
        builder.redirectOutput(ProcessBuilder.Redirect.INHERIT);
        builder.redirectError(ProcessBuilder.Redirect.INHERIT);
        try {
            return builder.start().waitFor();
        } catch (IOException e) {
            return -1;
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            return -1;
        }
    }

    /**
     * Fetches an entry into a folder: runExtract, then whether FOLDER/NAME is there, NAME being
     * the entry's full stored name (such as plugins\extra.zip; sfxpack list shows them). True
     * when the launcher reported success and the file or folder has arrived.
     */
    public static boolean fetch(String launcher, String name, File folder) {
        if (runExtract(launcher, name, folder) != 0) return false;
        String relative = name.replace('\\', File.separatorChar).replace('/', File.separatorChar);
        return new File(folder.getAbsoluteFile(), relative).exists();
    }

    /** fetch with the launcher that launcherPath() names. */
    public static boolean fetch(String name, File folder) {
        return fetch(launcherPath(), name, folder);
    }

    /** The character set of file names (the system's code page on Windows). */
    private static Charset fileNameCharset() {
        String name = System.getProperty("sun.jnu.encoding");
        try {
            if (name != null) return Charset.forName(name);
        } catch (RuntimeException e) {
            // An unknown name: the default below.
        }
        return Charset.defaultCharset();
    }

    private static byte[] readAll(File file) throws IOException {
        InputStream in = new FileInputStream(file);
        try {
            ByteArrayOutputStream out = new ByteArrayOutputStream();
            byte[] buffer = new byte[4096];
            int got;
            while ((got = in.read(buffer)) > 0) out.write(buffer, 0, got);
            return out.toByteArray();
        } finally {
            in.close();
        }
    }
}
