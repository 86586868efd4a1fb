#pragma once
// Reading EDF+ files back with EDFlib's own reader, for the tests of the
// export. Programs that include this link tovrel_export, which brings EDFlib.
#include <QDateTime>
#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>
#include <edflib.h>
#include <vector>

struct SAnnotation {
    double onset; // seconds
    double duration;
    QString text;
};

// An EDF+ file as EDFlib reads it.
struct SEdf {
    bool ok = false;
    int filetype = -1;
    QStringList labels, dimensions, transducers, prefilters;
    QList<double> physMax, physMin;
    QList<int> digMax, digMin;
    double rate = 0;
    long long samples = 0;
    QDateTime start; // local wall clock, milliseconds
    std::vector<std::vector<int>> digital;
    std::vector<std::vector<double>> physical;
    QList<SAnnotation> annotations;
};

inline SEdf ReadEdf(const QString& path) {
    SEdf e;
    edf_hdr_struct hdr;
    if (edfopen_file_readonly(QFile::encodeName(path).constData(), &hdr,
                              EDFLIB_READ_ALL_ANNOTATIONS) != 0)
        return e;
    e.filetype = hdr.filetype;
    e.rate = double(hdr.signalparam[0].smp_in_datarecord) * EDFLIB_TIME_DIMENSION /
             double(hdr.datarecord_duration);
    e.samples = hdr.signalparam[0].smp_in_file;
    e.start = QDateTime(QDate(hdr.startdate_year, hdr.startdate_month, hdr.startdate_day),
                        QTime(hdr.starttime_hour, hdr.starttime_minute, hdr.starttime_second,
                              int(hdr.starttime_subsecond / 10000)));
    for (int s = 0; s < hdr.edfsignals; ++s) {
        const edf_param_struct& p = hdr.signalparam[s];
        e.labels << QString::fromLatin1(p.label).trimmed();
        e.dimensions << QString::fromLatin1(p.physdimension).trimmed();
        e.transducers << QString::fromLatin1(p.transducer).trimmed();
        e.prefilters << QString::fromLatin1(p.prefilter).trimmed();
        e.physMax << p.phys_max;
        e.physMin << p.phys_min;
        e.digMax << p.dig_max;
        e.digMin << p.dig_min;
        std::vector<int> d(size_t(p.smp_in_file));
        std::vector<double> ph(size_t(p.smp_in_file));
        edfread_digital_samples(hdr.handle, s, int(d.size()), d.data());
        edfseek(hdr.handle, s, 0, EDFSEEK_SET);
        edfread_physical_samples(hdr.handle, s, int(ph.size()), ph.data());
        e.digital.push_back(std::move(d));
        e.physical.push_back(std::move(ph));
    }
    for (long long i = 0; i < hdr.annotations_in_file; ++i) {
        edf_annotation_struct a;
        if (edf_get_annotation(hdr.handle, int(i), &a) == 0)
            e.annotations << SAnnotation{
                double(a.onset) / EDFLIB_TIME_DIMENSION,
                a.duration_l < 0 ? -1 : double(a.duration_l) / EDFLIB_TIME_DIMENSION,
                QString::fromUtf8(a.annotation)};
    }
    edfclose_file(hdr.handle);
    e.ok = true;
    return e;
}

// The annotation with this text, or one with onset -1.
inline SAnnotation Find(const SEdf& e, const QString& text) {
    for (const SAnnotation& a : e.annotations)
        if (a.text == text)
            return a;
    return {-1, -1, {}};
}
