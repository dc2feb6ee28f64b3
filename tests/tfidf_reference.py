"""The TF-IDF engine written the straightforward way in Python: refit on
every training, cosine_similarity and a full sort per query, difflib per
query word. Tests compare the engine with it; the benchmark times both."""
import datetime
import difflib
import json
import logging
import os
import re

import joblib
from sklearn.feature_extraction.text import TfidfVectorizer
from sklearn.metrics.pairwise import cosine_similarity

from wrapper.infra import Cleanser, TongueProbe
from wrapper.infra.Tongue import Tongue


class StraightforwardFinder:
    def __init__(self, basepath):
        self.is_loaded = False
        self.model_filename = basepath + "/td_model.pkl"
        self.debug_model_filename = basepath + "/debug_td_model.json"
        self.tfidf_vectorizer = None
        self.tfidf_matrix = None
        self.document_names = []
        self.detected_languages = {}
        self.cleaned_text = {}

    def load_model(self):
        if self.is_loaded:
            return True
        model_data = None
        if os.path.exists(self.model_filename):
            model_data = joblib.load(self.model_filename)
        if model_data:
            self.is_loaded = True
            self.tfidf_matrix = model_data["matrix"]
            self.tfidf_vectorizer = model_data["vectorizer"]
            self.document_names = model_data["document_names"]
            self.detected_languages = model_data["detected_languages"]
            self.cleaned_text = model_data["cleaned_text"]
        return self.is_loaded

    def train_model(self, doc):
        if doc is None or not doc.text or doc.id in self.document_names:
            return None
        self.load_model()
        if doc.id in self.document_names:
            self.document_names.remove(doc.id)
            logging.info("td--removed doc for document names")
        if doc.id in self.detected_languages:
            logging.info("keys")
            logging.info(list(self.detected_languages.keys()))
            index = list(self.detected_languages.keys()).index(doc.id)
            logging.info(f"index {index} for docid {doc.id}")
            del self.detected_languages[doc.id]
            logging.info(f"td--removed {doc.id} to detected languages")
        if doc.id in self.cleaned_text:
            del self.cleaned_text[doc.id]
            logging.info("td--deleted doc to cleaned text")
        self.document_names.append(doc.id)
        self.detected_languages[doc.id] = doc.detected_language
        self.cleaned_text[doc.id] = doc.cleaned_text
        if self.tfidf_vectorizer is None:
            self.tfidf_vectorizer = TfidfVectorizer()
            self.tfidf_vectorizer.fit([doc.cleaned_text])
            self.tfidf_matrix = self.tfidf_vectorizer.transform([doc.cleaned_text])
        else:
            self.tfidf_vectorizer = TfidfVectorizer()
            self.tfidf_matrix = self.tfidf_vectorizer.fit_transform(self.cleaned_text.values())
        self.is_loaded = True
        joblib.dump({
            "matrix": self.tfidf_matrix,
            "vectorizer": self.tfidf_vectorizer,
            "document_names": self.document_names,
            "detected_languages": self.detected_languages,
            "cleaned_text": self.cleaned_text,
        }, self.model_filename)
        dc = {
            "multilang_models": {k: (v.value if v is not None else None)
                                 for k, v in self.detected_languages.items()},
            "document_names": self.document_names,
        }
        dc["updated_at"] = str(datetime.datetime.now())
        with open(self.debug_model_filename, "w") as f:
            f.write(json.dumps(dc, indent=4))
        return None

    def search_documents(self, search_query, detected_search_language=None, page=1,
                         results_per_page=10, cutoff_for_fix_query=0.9):
        if not self.load_model():
            return []
        language = detected_search_language
        if not language:
            language = TongueProbe.detect_lang(search_query)[0]
        elif isinstance(language, str):
            language = Tongue(language)
        _, cleaned = Cleanser.preprocess_text_for_stemmetization(search_query, language)
        corrected = self.correct_query(
            cleaned, self.tfidf_vectorizer.get_feature_names_out(), cutoff_for_fix_query)
        vector = self.tfidf_vectorizer.transform([corrected])
        scores = cosine_similarity(vector, self.tfidf_matrix).flatten()
        ranked = sorted(enumerate(scores), key=lambda pair: -pair[1])
        start = (page - 1) * results_per_page
        end = start + results_per_page
        rows = []
        for position, score in ranked[start:end]:
            if score <= 0:
                break
            name = self.document_names[position]
            rows.append({"name": name, "Pontuação": score,
                         "language": self.detected_languages[name]})
        return corrected, rows

    def correct_query(self, query, corpus, cutoff=0.6):
        words = []
        for word in re.findall(r"\w+", query):
            match = difflib.get_close_matches(word, corpus, n=1, cutoff=cutoff)
            words.append(match[0] if match else word)
        return " ".join(words)
