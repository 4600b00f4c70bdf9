#pragma once

#include <QByteArray>
#include <QList>

namespace quippet::test {

// A minimal PDF with one page per content stream, Helvetica as /F1 (for text streams written with ASCII only).
inline QByteArray pdfFromPages(const QList<QByteArray>& pageContents) {
    QList<QByteArray> objects = {"<< /Type /Catalog /Pages 2 0 R >>", QByteArray(),
                                 "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"};
    QByteArray kids;
    for (const QByteArray& content : pageContents) {
        const int pageObj = int(objects.size()) + 1;
        objects << "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Resources << /Font << /F1 3 0 R >> >> "
                   "/Contents " +
                       QByteArray::number(pageObj + 1) + " 0 R >>";
        objects << "<< /Length " + QByteArray::number(content.size()) + " >>\nstream\n" + content + "\nendstream";
        kids += QByteArray::number(pageObj) + " 0 R ";
    }
    objects[1] = "<< /Type /Pages /Kids [" + kids + "] /Count " + QByteArray::number(pageContents.size()) + " >>";
    QByteArray pdf = "%PDF-1.4\n";
    QList<qsizetype> offsets;
    for (int i = 0; i < objects.size(); ++i) {
        offsets << pdf.size();
        pdf += QByteArray::number(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const qsizetype xref = pdf.size();
    pdf += "xref\n0 " + QByteArray::number(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (qsizetype offset : offsets)
        pdf += QByteArray::number(offset).rightJustified(10, '0') + " 00000 n \n";
    pdf += "trailer\n<< /Size " + QByteArray::number(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
           QByteArray::number(xref) + "\n%%EOF\n";
    return pdf;
}

} // namespace quippet::test
