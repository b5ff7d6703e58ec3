import java.io.File;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.OutputStreamWriter;
import java.io.Writer;
import org.vantrel.kit.sfx.SfxLauncher;

/**
 * The started program of the Java helper's end-to-end test: HelperCheck REPORT FOLDER uses each
 * operation of SfxLauncher once and writes what they returned to REPORT, one key=value a line.
 */
public class HelperCheck {
    public static void main(String[] args) throws IOException {
        File folder = new File(args[1]);
        StringBuilder report = new StringBuilder();
        line(report, "property", SfxLauncher.launcherPath());
        System.clearProperty(SfxLauncher.PROPERTY);
        String launcher = SfxLauncher.launcherPath();
        line(report, "ini", launcher);
        line(report, "close", SfxLauncher.closeSplash());
        line(report, "fetch", SfxLauncher.fetch(launcher, "lib/data.zip", folder));
        line(report, "missing", SfxLauncher.fetch(launcher, "missing.zip", folder));
        Writer out = new OutputStreamWriter(new FileOutputStream(args[0]), "UTF-8");
        try {
            out.write(report.toString());
        } finally {
            out.close();
        }
    }

    private static void line(StringBuilder report, String key, Object value) {
        report.append(key).append('=').append(value).append('\n');
    }
}
